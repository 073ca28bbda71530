#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What the script reader checks before toml++ 3.3 reads a script's text:
// the places where the library would end the program rather than refuse the
// text (ScriptGuard.cpp says which and why).

// Where a byte of a text stands, counted as toml++ counts: lines from 1, and
// columns from 1 in characters.
struct TextPlace {
    int nLine = 1;
    int nColumn = 1;
};

// The place of byte offset in text (offset may be text.size(), the end).
TextPlace PlaceInText(std::string_view text, size_t offset);

// True with the byte offset of the first place in text that toml++ 3.3
// cannot read safely and what was expected there; false when there is none.
bool FindUnsafeToml(std::string_view text, size_t& offset, std::string& what);
