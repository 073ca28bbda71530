#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "comm/CaptureFormat.h"

// Reads a capture file (pcapng) into plain records. Captures come from
// users' disks, so any input is read safely: a file that is no capture is
// refused, and at a fault further in, everything before it is kept.

struct CaptureInterface {
    int nLinkType = 0;
    int nSide = CAPTURE_SIDE_UNKNOWN; // of the section that declares it
    std::string strProgram;           // the program that wrote the section
    std::string strName;
    std::string strDescription;
};

struct CapturePacket {
    int nInterface = 0;  // index into Capture::interfaces
    int64_t nTimeUs = 0; // microseconds since 1970 UTC
    int nDirection = CAPTURE_DIR_UNKNOWN;
    std::vector<uint8_t> bytes;
    std::string strComment;
};

struct Capture {
    std::vector<CaptureInterface> interfaces; // of every section, in file order
    std::vector<CapturePacket> packets;
    int nSkippedBlocks = 0; // blocks of kinds a capture of ours never holds
};

// Reading stops at the first fault; a damaged file keeps what precedes it.
constexpr int CAPTURE_READ_OK = 0;
constexpr int CAPTURE_NOT_PCAPNG = -1; // empty, a pcap file, or anything else
constexpr int CAPTURE_DAMAGED = -2;    // a fault after a good section header

// Files are read up to this size; past it the rest is left, as after a fault.
constexpr size_t CAPTURE_FILE_MAX = size_t{256} << 20;

// Reads size bytes of a capture into out (emptied first). Returns
// CAPTURE_READ_OK, CAPTURE_NOT_PCAPNG or CAPTURE_DAMAGED; error then says
// what and where (the byte offset).
int ParseCapture(const uint8_t* data, size_t size, Capture& out, std::string& error);

// Reads the file at path as ParseCapture does; a file that cannot be read is
// CAPTURE_NOT_PCAPNG. Messages begin with the path.
int LoadCapture(const std::string& path, Capture& out, std::string& error);
