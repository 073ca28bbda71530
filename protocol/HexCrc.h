#pragma once

#include <cstdint>
#include <string>

#include "protocol/Frame.h"

// The calculator's CRC-CCITT: the frame checksum over bytes typed as hex.

// At most this many characters of the input are taken; a longer input meets
// the end of what was taken at position HEX_CRC_MAX_CHARS + 1.
constexpr int HEX_CRC_MAX_CHARS = 559;

// Checks text (len characters, upper-case hex expected) and computes Crc16
// over its bytes. Returns 0 with crc set, HEX_ODD_LENGTH (-1) for an odd
// length, else the 1-based position of the first character that is not
// '0'-'9' or 'A'-'F'; crc is untouched on failure.
int HexCrc(const char* text, int len, uint16_t& crc);

// "0x%x,0x%x" of the checksum's high and low byte.
std::string HexCrcText(uint16_t crc);
