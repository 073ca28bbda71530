#pragma once

#include <cstdint>
#include <string>

#include "protocol/ResultCodes.h"

// Frame layout: C0|C2, machine, command|status, length high, length low,
// data, CRC high, CRC low, C1|C3. The CRC covers everything before it.
constexpr uint8_t FRAME_REQUEST_START = 0xC0;
constexpr uint8_t FRAME_REQUEST_END = 0xC1;
constexpr uint8_t FRAME_REPLY_START = 0xC2;
constexpr uint8_t FRAME_REPLY_END = 0xC3;
constexpr int FRAME_OVERHEAD = 8;
constexpr int FRAME_MAX_DATA = 288;
constexpr int FRAME_MAX_REQUEST = FRAME_MAX_DATA + FRAME_OVERHEAD;
constexpr uint16_t CRC16_INIT = 0xC78C;

// The acknowledgement a terminal may send ahead of its reply.
extern const uint8_t AckFrame[9];
// The terminal's "your frame arrived damaged" reply.
extern const uint8_t TransferErrorFrame[9];

// The length of the acknowledgement in front of the n bytes at bytes: 9 when
// they start with AckFrame and at least minReply bytes follow it, else 0.
// Each reader passes the least it takes for a reply behind an acknowledgement.
int LeadingAckLength(const uint8_t* bytes, int n, int minReply);

// Checks that the len bytes at frame are one whole reply frame. Returns len,
// RES_NOT_FRAME when they are shorter than a frame, do not start with 0xC2 or
// disagree with their length field, endByteError when only the last byte is
// not 0xC3, or RES_CHECKSUM when the CRC does not match.
int CheckReplyFrame(const uint8_t* frame, int len, int endByteError);

// Advances the CRC-16 register (polynomial 0x1021, MSB first) by one byte.
void Crc16Update(uint8_t b, uint16_t& crc);

// CRC-16 of the first count bytes (count taken modulo 65536), from 0xC78C.
uint16_t Crc16(int count, const uint8_t* data);

// Builds a request frame into out (len + 8 bytes). Returns len + 8, or
// RES_BAD_LENGTH and leaves out untouched when len is outside 0..288.
int BuildFrame(uint8_t machine, uint8_t command, const uint8_t* data, const int& len, uint8_t* out);

// Builds a reply frame (C2 ... C3) as a terminal sends it into out (len + 8
// bytes). Returns len + 8, or RES_BAD_LENGTH and leaves out untouched when
// len is outside 0..65535. The simulator and the tests build replies with it.
int BuildReplyFrame(uint8_t machine, uint8_t status, const uint8_t* data, int len, uint8_t* out);

// Converts the first 2*count characters of text into count bytes. Checks
// nothing: callers run CheckHexText first.
void HexToBytes(const char* text, uint8_t* out, int count);

// Writes 2*count upper-case hex characters, without a terminating zero.
void BytesToHex(const uint8_t* data, char* out, int count);

// "C0 01 E4": count bytes as upper-case hex digit pairs with one space
// between them; empty when count is 0 or less.
std::string HexCells(const uint8_t* data, int count);

constexpr int HEX_ODD_LENGTH = -1;

// Characters of UTF-8 text of len bytes: the bytes that do not continue a
// multi-byte character.
int TextLength(const char* text, int len);

// Checks hex text as typed by a user (UTF-8): returns 0 when it is an even
// number of '0'-'9'/'A'-'F', HEX_ODD_LENGTH for an odd number of characters,
// else the 1-based position of the first other character. Lengths and
// positions count characters, as the user sees them, not bytes.
int CheckHexText(const char* text, int len);
