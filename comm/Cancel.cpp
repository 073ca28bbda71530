#include "comm/Cancel.h"

#include <algorithm>
#include <cstdint>

#include "comm/Clock.h"

namespace {

thread_local const std::atomic<bool>* t_cancel = nullptr;
thread_local int t_graceMs = 0;
thread_local bool t_seen = false;
thread_local int64_t t_seenAt = 0;

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
        t_seenAt = NowMs();
    }
    return NowMs() - t_seenAt >= t_graceMs;
}

int CancelSlice(int leftMs) {
    return t_cancel == nullptr ? leftMs : std::min(leftMs, CANCEL_SLICE_MS);
}
