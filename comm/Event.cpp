#include "comm/Event.h"

#include <algorithm>
#include <chrono>

CEvent::CEvent(bool bManualReset, bool bInitialState)
    : m_bManualReset(bManualReset), m_bSet(bInitialState) {}

// Notifying under the lock keeps the event alive for the notify even when a
// woken waiter goes on to destroy it.
void CEvent::Set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSet = true;
    if (m_bManualReset) {
        m_cond.notify_all();
    } else {
        m_cond.notify_one();
    }
}

void CEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSet = false;
}

bool CEvent::Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_bSet; });
    if (!m_bManualReset) {
        m_bSet = false;
    }
    return true;
}

bool CEvent::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto limit = std::chrono::milliseconds(std::max(timeoutMs, 0));
    if (!m_cond.wait_for(lock, limit, [this] { return m_bSet; })) {
        return false;
    }
    if (!m_bManualReset) {
        m_bSet = false;
    }
    return true;
}
