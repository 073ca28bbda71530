#include "config/ConfigLocation.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include "config/ReplaceFile.h"

namespace {

// Any directory entry, a dangling link included.
bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string Join(const std::string& dir, const char* name) {
    return dir.empty() || dir.ends_with('/') ? dir + name : dir + '/' + name;
}

// Makes dir and its missing parents, each with mode 0700 as the XDG base
// directories ask. Returns 0 or -errno.
int MakeFolders(const std::string& dir) {
    for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
        const std::string part = dir.substr(0, end);
        struct stat st;
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return -errno;
        if (::stat(part.c_str(), &st) != 0)
            return -errno;
        if (!S_ISDIR(st.st_mode))
            return -ENOTDIR;
        if (end == std::string::npos)
            return 0;
    }
}

// The whole file. Returns 0 or -errno.
int ReadWhole(const std::string& path, std::string& text) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return -errno;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    const int rc = std::ferror(f) ? -EIO : 0;
    std::fclose(f);
    return rc;
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Empty when neither folder is absolute.
std::string UserConfigPath(const std::string& configHome, const std::string& home) {
    if (configHome.starts_with('/'))
        return Join(Join(configHome, "quillmark"), "config.xml");
    if (home.starts_with('/'))
        return Join(Join(home, ".config/quillmark"), "config.xml");
    return {};
}

} // namespace

int FindConfig(const ConfigSearch& search, std::string& path, int& osError) {
    osError = 0;
    if (!search.strGiven.empty()) {
        path = search.strGiven;
        return CONFIG_GIVEN;
    }
    const std::string besideExe = Join(search.strExeDir, "config.xml");
    if (Exists(besideExe)) {
        path = besideExe;
        return CONFIG_BESIDE_EXE;
    }
    const std::string user = UserConfigPath(search.strConfigHome, search.strHome);
    if (user.empty()) {
        path = besideExe;
        return CONFIG_MISSING;
    }
    path = user;
    if (Exists(user))
        return CONFIG_USER;
    if (search.strDefault.empty() || !IsRegularFile(search.strDefault))
        return CONFIG_MISSING;

    std::string text;
    int rc = ReadWhole(search.strDefault, text);
    if (rc == 0)
        rc = MakeFolders(user.substr(0, user.rfind('/')));
    if (rc == 0)
        rc = ReplaceFile(user, text);
    if (rc != 0) {
        osError = -rc;
        return CONFIG_COPY_FAILED;
    }
    return CONFIG_CREATED;
}
