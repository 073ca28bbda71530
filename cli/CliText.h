#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Argument checks and output text of the command-line tool.

// text with its ASCII letters in upper case, as the console's hex fields
// turn them while they are typed.
std::string UpperAscii(std::string text);

// Checks a hex argument as the console checks its hex fields, after turning
// it to upper case. Returns an empty text when it is valid, else the
// console's message naming the odd length or the first bad character's
// 1-based position.
std::string HexArgError(const std::string& text);

// The bytes of a hex argument that HexArgError accepted.
std::vector<uint8_t> HexArgBytes(const std::string& text);

// A window's text for a terminal: "\r\n" line breaks become "\n" and the
// spaces that close each line are dropped.
std::string TerminalText(std::string_view windowText);

// Writes text to stdout and flushes it.
void PrintText(std::string_view text);

// " (the system's words for err)" to put behind a failure text, plus on a
// line of its own a hint for the causes users hit most: a device they may
// not open (not in the dialout group) and a port another program holds.
// Empty when err is 0.
std::string OsReasonText(int err);
