#include "comm/Cancel.h"

#include <algorithm>

#include "comm/Clock.h"

namespace {

thread_local const std::atomic<bool>* t_cancel = nullptr;
thread_local int t_graceMs = 0;
thread_local bool t_seen = false;
// The end of the grace, counted on the steady clock at its full resolution
// so that it never ends before graceMs have passed.
thread_local std::chrono::steady_clock::time_point t_graceEnd;

} // namespace

void SetThreadCancel(const std::atomic<bool>* flag, int graceMs) {
    t_cancel = flag;
    t_graceMs = graceMs;
    t_seen = false;
}

bool ThreadCancelled() {
    if (!Cancelled(t_cancel))
        return false;
    if (!t_seen) {
        t_seen = true;
        t_graceEnd = DeadlineIn(t_graceMs);
    }
    return std::chrono::steady_clock::now() >= t_graceEnd;
}

int PollUnlessCancelled(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const int left = MsUntil(deadline);
        const int slice = t_cancel == nullptr ? left : std::min(left, CANCEL_SLICE_MS);
        const int rc = poll(fds, count, slice);
        if (rc != 0 || slice >= left || ThreadCancelled())
            return rc;
    }
}
