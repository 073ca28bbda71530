#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "comm/CaptureFormat.h"

// Writes a capture file (pcapng) as a session goes: one section, one
// interface per channel or connection, one packet per piece of traffic.
// Every block goes to the file whole, in one write() at once, so a program
// killed mid-way leaves a file that ends on a block boundary and reads up to
// its last packet. After a failed write the file is cut back to its last
// whole block and nothing more is written. Safe to use from several threads
// (the console's window and its worker); failures are -errno.
class CCaptureWriter {
  public:
    CCaptureWriter() = default;
    ~CCaptureWriter() { Close(); }
    CCaptureWriter(const CCaptureWriter&) = delete;
    CCaptureWriter& operator=(const CCaptureWriter&) = delete;

    // Creates (or empties) the file at path and writes the section header:
    // side (CaptureSide) and the name of the program writing it. A writer
    // already open is closed first. Returns 0 or -errno (-EINVAL for an
    // unknown side).
    int Open(const std::string& path, int side, const std::string& program);

    // Adds an interface of link type USER0: name says which line (e.g. "TCP
    // 127.0.0.1:6688"), description what is at its far end. Returns the
    // interface's number (0, 1, ...) for Packet, -EBADF when not open, or
    // the error that stopped the writer.
    int AddInterface(const std::string& name, const std::string& description);

    // Records count bytes that went in or out (CaptureDirection) on an
    // interface at wallUs (microseconds since 1970 UTC, WallUs), with a
    // comment when not empty. Returns 0, -EBADF when not open, -EINVAL for
    // an unknown interface or direction, -EMSGSIZE for more than
    // CAPTURE_PACKET_MAX bytes, or the error that stopped the writer.
    int Packet(int iface, int direction, int64_t wallUs, const uint8_t* data, int count,
               const std::string& comment = {});

    // Closes the file. Returns 0, or the first error of the writer's life
    // since Open (a failed write or close). Closing a closed writer returns 0.
    int Close();

    bool IsOpen() const;
    // The first failed write since Open, -errno; 0 when none.
    int Error() const;

  private:
    // Writes a finished block; the mutex is held.
    int Append(const std::string& block);

    mutable std::mutex m_mutex;
    int m_nFd = -1;
    int m_nInterfaces = 0;
    int m_nError = 0;
    int64_t m_nSize = 0; // bytes of whole blocks in the file
};

// What the programs say when a capture at path cannot be created (err from
// Open) or its writing failed (err from Close).
std::string CaptureOpenFailedText(const std::string& path, int err);
std::string CaptureWriteFailedText(const std::string& path, int err);
