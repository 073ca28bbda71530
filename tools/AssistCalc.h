#pragma once

#include <string>
#include <string_view>

// The calculator's block operations over hex text: DES and two-key triple
// DES of one 8-byte block, XOR of two 8-byte values, inversion of one.
// Outputs are the result bytes as "%.2X" pieces joined (16 digits).

enum AssistCode : int {
    ASSIST_OK = 0,
    ASSIST_BOTH_NOT_8_BYTES = -1, // input or key is not 16 characters
    ASSIST_INPUT_NOT_8_BYTES = -2,
    ASSIST_KEY_NOT_16_BYTES = -3, // triple-DES key is not 32 characters
    ASSIST_INPUT_NOT_HEX = -4,
    ASSIST_KEY_NOT_HEX = -5
};

// True when one of the first count characters of text is not '0'-'9',
// 'a'-'f' or 'A'-'F'; false for a null text. count must not pass the text's end.
bool HasNonHex(const char* text, int count);

// Single DES, mode '0' encrypts, '1' decrypts. Checks in order: both texts
// 16 characters, input hex, key hex. Returns 0 with out set, or the first
// failed check with out untouched.
int AssistDes(std::string_view input, std::string_view key, char mode, std::string& out);

// Triple DES with K1 = the key's first 16 digits, K2 the last 16. Checks in
// order: input 16 characters, key 32, input hex, key hex.
int AssistTripleDes(std::string_view input, std::string_view key, char mode, std::string& out);

// input XOR key; checks only that both are 16 characters (other characters
// convert as the hex parser folds them).
int AssistXor(std::string_view input, std::string_view key, std::string& out);

// Every bit of input flipped; checks only that it is 16 characters.
int AssistInvert(std::string_view input, std::string& out);

// The bytes as upper-case hex pairs, joined.
std::string HexOfBytes(const unsigned char* data, int n);
