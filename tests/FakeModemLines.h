#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "PtyUtil.h"
#include "comm/SerialPort.h"

// A modem's control lines, which pseudo-terminals lack. Records each raise
// ("DTR COM200"; "DTR after bytes COM200" when the watched pty already held
// bytes from the driver) and raises carrier carrierAfterMs after the first
// DTR raise, or after Arm(); a negative time never.
class FakeModemLines : public ComModemLines {
  public:
    static constexpr int NEVER = -1;

    explicit FakeModemLines(int carrierAfterMs = NEVER, const PtyPair* watched = nullptr)
        : m_watched(watched), m_carrierAfterMs(carrierAfterMs) {}

    void RaiseDtr(int n) override {
        Record("DTR", n);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bArmed)
            ArmLocked(m_carrierAfterMs);
    }
    void RaiseRts(int n) override { Record("RTS", n); }
    bool Carrier(int) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bArmed && m_carrierAfterMs >= 0 && MsSince(m_armedAt) >= m_carrierAfterMs;
    }

    // Starts the carrier's clock now, whatever DTR did.
    void Arm(int carrierAfterMs) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ArmLocked(carrierAfterMs);
    }
    std::vector<std::string> Raised() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_raised;
    }
    // True when line ("DTR", "RTS") was raised at least once.
    bool WasRaised(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string& r : m_raised) {
            if (r.compare(0, line.size() + 1, line + " ") == 0)
                return true;
        }
        return false;
    }

  private:
    void ArmLocked(int carrierAfterMs) {
        m_carrierAfterMs = carrierAfterMs;
        m_armedAt = std::chrono::steady_clock::now();
        m_bArmed = true;
    }
    void Record(const char* line, int n) {
        const bool bAfterBytes = m_watched != nullptr && m_watched->Pending();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_raised.push_back(std::string(line) + (bAfterBytes ? " after bytes" : "") + " COM" +
                           std::to_string(n));
    }

    const PtyPair* const m_watched;
    std::mutex m_mutex;
    std::vector<std::string> m_raised;
    int m_carrierAfterMs;
    bool m_bArmed = false;
    std::chrono::steady_clock::time_point m_armedAt;
};
