// Fuzzes the script reader: any input is refused or read; a script that is
// read, written back out and read again gives the same steps.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/ScriptParse.h"

namespace {

// A folder holding the image the seed scripts download.
std::string g_baseDir;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / "quillmark-fuzz-script";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "fw.bin", std::ios::binary) << std::string(300, '\x5A');
    g_baseDir = dir.string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Script first;
    std::string error;
    if (!ParseScriptText(text, "fuzz.toml", g_baseDir, first, error)) {
        if (error.rfind("fuzz.toml:", 0) != 0) {
            std::fprintf(stderr, "error without its position: %s\n", error.c_str());
            std::abort();
        }
        return 0;
    }
    const std::string written = WriteScriptText(first);
    Script second;
    if (!ParseScriptText(written, "fuzz.toml", g_baseDir, second, error)) {
        std::fprintf(stderr, "written script refused: %s\n%s\n", error.c_str(), written.c_str());
        std::abort();
    }
    if (second.nRepeat != first.nRepeat || second.strCapture != first.strCapture ||
        second.strCapturePath != first.strCapturePath || !(second.steps == first.steps)) {
        std::fprintf(stderr, "written script reads differently:\n%s\n", written.c_str());
        std::abort();
    }
    return 0;
}
