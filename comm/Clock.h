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

// Microseconds of the wall clock since 1970-01-01 UTC. Capture files stamp
// their packets with it: they are read later and elsewhere, where only a
// date and time of day mean anything.
inline int64_t WallUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
