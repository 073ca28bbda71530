#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// True with the byte offset of the first place in text that toml++ 3.3
// cannot read without ending the program, and what was expected there;
// false when there is none. ScriptGuard.cpp says which places and why.
bool FindUnsafeToml(std::string_view text, size_t& offset, std::string& what);
