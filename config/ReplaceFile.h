#pragma once

#include <string>

// Writes text to a temporary file beside target and renames it over target, so
// that a reader sees the old file or the new one, never a part. An existing
// target keeps its mode and owner; a new one gets mode 0644. Returns 0, or
// -errno when the temporary file cannot be made or written or the rename
// fails; the temporary file is then removed and target is as it was.
int ReplaceFile(const std::string& target, const std::string& text);
