#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>

// Cancels of channel waits. A connect or dial takes its cancel flag as an
// argument and gives up as soon as it is set; the reply reads, sends and
// receives deep in the drivers look at the flag their thread registered and
// give up once it has been set for the thread's grace.

// True when cancel is set; a null flag never is.
inline bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load();
}

// Registers the flag that cuts the calling thread's channel waits short
// graceMs after a wait first sees it set.
void SetThreadCancel(const std::atomic<bool>* flag, int graceMs);

// True once the calling thread's flag has been set for its grace.
bool ThreadCancelled();

// How long a wait may run before it looks at a cancel again.
inline constexpr int CANCEL_SLICE_MS = 20;

// poll() until the deadline, in slices of CANCEL_SLICE_MS on a thread with a
// flag so that ThreadCancelled() ends the wait as a time-out. Returns what
// the last poll() returned: > 0 ready, 0 time-out or cancel, < 0 its error
// (errno as it left it).
int PollUnlessCancelled(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point deadline);
