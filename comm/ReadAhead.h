#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

// The bytes a driver has read from its device and its reader has not taken
// yet. A driver asks the device for everything that waits, not only for the
// few bytes the reader wants next, so that a reply that has arrived whole
// costs one read; what is left over still belongs to the channel and goes
// out before anything the device has not yet given.
class CReadAhead {
  public:
    // The most one read from the device brings in: a whole reply the
    // console's buffer takes, with an acknowledgement in front.
    static constexpr int CAPACITY = 2048;

    // Hands dst up to max bytes: those held, or when none are held, those of
    // one fill(space, CAPACITY), which reads from the device and returns the
    // count, 0 for nothing, or a negative code that is passed on. Returns
    // the count handed over or fill's code.
    template <class Fill> int Read(uint8_t* dst, int max, Fill fill) {
        if (max <= 0)
            return 0;
        if (m_begin == m_end) {
            const int got = fill(m_data, CAPACITY);
            if (got <= 0)
                return got;
            m_begin = 0;
            m_end = got;
        }
        const int count = std::min(max, m_end - m_begin);
        std::memcpy(dst, m_data + m_begin, static_cast<size_t>(count));
        m_begin += count;
        return count;
    }

    // Drops the bytes held, as a purge of the device's queue drops its own.
    void Clear() { m_begin = m_end = 0; }

  private:
    uint8_t m_data[CAPACITY];
    int m_begin = 0;
    int m_end = 0;
};
