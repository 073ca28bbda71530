#pragma once

#include <cstdint>

// Capture files are pcapng, the format Wireshark and tshark open: these are
// the blocks and options our writer and reader use, and the conventions of
// our captures on top of them.

constexpr uint32_t PCAPNG_SHB = 0x0A0D0D0A; // section header block
constexpr uint32_t PCAPNG_IDB = 0x00000001; // interface description block
constexpr uint32_t PCAPNG_SPB = 0x00000003; // simple packet block
constexpr uint32_t PCAPNG_EPB = 0x00000006; // enhanced packet block
constexpr uint32_t PCAPNG_BYTE_ORDER_MAGIC = 0x1A2B3C4D;

// Options: the end marker and the comment are common to every block.
constexpr uint16_t PCAPNG_OPT_END = 0;
constexpr uint16_t PCAPNG_OPT_COMMENT = 1;
constexpr uint16_t PCAPNG_SHB_USERAPPL = 4;
constexpr uint16_t PCAPNG_IF_NAME = 2;
constexpr uint16_t PCAPNG_IF_DESCRIPTION = 3;
constexpr uint16_t PCAPNG_IF_TSRESOL = 9;
constexpr uint16_t PCAPNG_IF_TSOFFSET = 14;
constexpr uint16_t PCAPNG_EPB_FLAGS = 2;

// The link type of every interface: our frames are no standard protocol.
constexpr uint16_t LINKTYPE_USER0 = 147;

// The largest packet Wireshark reads; larger ones are refused by both ends.
constexpr int CAPTURE_PACKET_MAX = 262144;

// Direction of a packet, as the low two bits of the packet's flags option
// say it: received or sent by the program that wrote the file.
enum CaptureDirection : int { CAPTURE_DIR_UNKNOWN = 0, CAPTURE_IN = 1, CAPTURE_OUT = 2 };

// Which end of the line wrote a capture: the host (console, command-line
// tool: requests go out, replies come in) or the terminal (simulator:
// requests come in, replies go out). The section header's comment says it
// with one of these texts.
enum CaptureSide : int {
    CAPTURE_SIDE_UNKNOWN = 0,
    CAPTURE_SIDE_HOST = 1,
    CAPTURE_SIDE_TERMINAL = 2
};
inline constexpr char CAPTURE_HOST_COMMENT[] = "quillmark side=host";
inline constexpr char CAPTURE_TERMINAL_COMMENT[] = "quillmark side=terminal";
