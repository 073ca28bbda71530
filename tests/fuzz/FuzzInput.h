#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Takes a fuzz input apart field by field; past its end every read is 0.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : m_p(data), m_n(size) {}

    uint8_t Byte() { return m_n > 0 ? (--m_n, *m_p++) : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    // Up to max bytes; returns how many were taken, pointed to by out.
    size_t Take(size_t max, const uint8_t*& out) {
        const size_t n = max < m_n ? max : m_n;
        out = m_p;
        m_p += n;
        m_n -= n;
        return n;
    }
    size_t Left() const { return m_n; }

  private:
    const uint8_t* m_p;
    size_t m_n;
};

// A failed property: report and abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
