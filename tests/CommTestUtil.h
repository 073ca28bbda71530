#pragma once

#include "FdIo.h"
#include "LoopbackPeer.h"
#include "PostRecorder.h"
#include "PtyUtil.h"
#include "comm/SerialPort.h"

// A pseudo-terminal bound to a COM number and opened as the console opens a
// port; the test plays the device on the master side.
class PtyPort {
  public:
    explicit PtyPort(int com) : m_com(com) {
        if (m_pty.Open()) {
            ComBindDevice(m_com, m_pty.path.c_str());
            m_open = ComOpen(m_com, ComBaudIndex(115200)) == 0;
        }
    }
    ~PtyPort() {
        ComClose(m_com);
        ComBindDevice(m_com, "");
    }
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    bool IsOpen() const { return m_open; }
    int Master() const { return m_pty.master; }

  private:
    int m_com;
    PtyPair m_pty;
    bool m_open = false;
};
