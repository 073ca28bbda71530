#pragma once

#include <condition_variable>
#include <mutex>

// An event as the worker and the console signal each other with: manual
// reset stays set until Reset; auto reset lets one Wait through and clears.
// Set and a Wait that returns true order the memory of the two threads.
class CEvent {
  public:
    CEvent(bool bManualReset, bool bInitialState);
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // Waits without limit; true when the event was (or became) set.
    bool Wait();
    // Waits at most timeoutMs; false on time-out. 0 tests without waiting.
    bool Wait(int timeoutMs);

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    const bool m_bManualReset;
    bool m_bSet;
};
