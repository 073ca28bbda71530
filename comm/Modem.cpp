#include "comm/Modem.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include "comm/Cancel.h"
#include "comm/Clock.h"
#include "comm/SerialPort.h"
#include "protocol/ResultCodes.h"

namespace {

// Sleeps ms in short slices so that a cancel is seen within one slice.
// Returns false when cancelled.
bool SleepUnlessCancelled(int ms, const std::atomic<bool>* cancel) {
    using Clock = std::chrono::steady_clock;
    constexpr Clock::duration SLICE = std::chrono::milliseconds(10);
    // A full-resolution deadline: whole-millisecond ticks could end the
    // sleep up to a millisecond early.
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (Cancelled(cancel))
            return false;
        const Clock::duration left = until - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        std::this_thread::sleep_for(left < SLICE ? left : SLICE);
    }
}

} // namespace

ResultCode ComDialLine(int n, const uint8_t* command, int count) {
    if (ComRaiseDtr(n) != RES_OK)
        return RES_DIAL_FAILED;
    ComRaiseRts(n);
    return ComWrite(n, command, count) == RES_OK ? RES_OK : RES_DIAL_FAILED;
}

int ComWaitCarrier(int n, int timeoutMs, const std::atomic<bool>* cancel) {
    constexpr int POLL_MS = 100;
    const int64_t start = NowMs();
    for (;;) {
        if (Cancelled(cancel))
            return 0;
        // The status is read before the time check and tested after the
        // sleep, so a carrier already present shows after one interval.
        bool present = false;
        ComGetCarrier(n, present);
        if (NowMs() - start > timeoutMs)
            return RES_NO_CARRIER;
        if (!SleepUnlessCancelled(POLL_MS, cancel))
            return 0;
        if (present)
            return 1;
    }
}
