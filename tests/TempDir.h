#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

// The whole content of a file; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A fresh scratch folder, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        std::string name =
            (std::filesystem::temp_directory_path() / "quillmark-test-XXXXXX").string();
        if (mkdtemp(name.data()) != nullptr)
            path = name;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes text to the named file in the folder.
    void Write(const std::string& file, const std::string& text) const {
        WriteFile(path / file, text);
    }

    std::filesystem::path path;
};
