#pragma once

#include <chrono>
#include <cstdint>

// Milliseconds of the steady clock from an arbitrary start. Time-outs and
// command times use it because it counts waiting and never goes back when
// the wall clock is set.
inline int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Microseconds of the same clock, for reply times finer than a tick.
inline int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The same clock cut to 32 bits, as a FrameSource ticks: differences of two
// ticks stay right across the wrap.
inline uint32_t TickMs() {
    return static_cast<uint32_t>(NowMs());
}

// A deadline waitMs from now on the steady clock.
inline std::chrono::steady_clock::time_point DeadlineIn(int waitMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
}

// Whole milliseconds left until the deadline, rounded up so that a wait of
// that long in pieces never ends before it; 0 once it has passed.
inline int MsUntil(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Microseconds of the wall clock since 1970-01-01 UTC. Capture files stamp
// their packets with it: they are read later and elsewhere, where only a
// date and time of day mean anything.
inline int64_t WallUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
