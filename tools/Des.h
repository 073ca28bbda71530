#pragma once

// One 8-byte block through DES or two-key triple DES, and hex text to bytes.
// Every call keeps its working state on its own stack, so one object (or many)
// may be used from any number of threads. The output may be the same memory
// as the input.
class CDes {
  public:
    virtual ~CDes() = default;

    // Encrypts (mode '0') or decrypts (mode '1') the 8-byte block in with the
    // 8-byte key; the key's parity bits are ignored. Returns out, or nullptr
    // without writing anything when mode is neither '0' nor '1'.
    unsigned char* RunDes(const unsigned char* key, const unsigned char* in, unsigned char* out,
                          char mode);

    // Two-key triple DES with the 16-byte key K1|K2: mode '0' gives
    // E_K1(D_K2(E_K1(in))), mode '1' gives D_K1(E_K2(D_K1(in))). Returns out, or
    // nullptr without writing anything when mode is neither '0' nor '1'.
    unsigned char* RunTripleDes(const unsigned char* key, const unsigned char* in,
                                unsigned char* out, char mode);

    // Converts the first 2n characters of text to n bytes, high nibble first,
    // digits in either case. Characters are not checked: that is the caller's
    // job. Returns out, or nullptr without writing anything when text ends
    // before 2n characters or n is negative.
    unsigned char* ParseHex(const char* text, unsigned char* out, int n);
};
