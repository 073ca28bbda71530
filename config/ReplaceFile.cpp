#include "config/ReplaceFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int ReplaceFile(const std::string& target, const std::string& text) {
    std::string tmp = target + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return -errno;
    struct stat st;
    const bool existed = ::stat(target.c_str(), &st) == 0;
    const mode_t mode = existed ? (st.st_mode & 07777) : 0644;
    if (existed && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()))
        (void)::fchown(fd, st.st_uid, st.st_gid);
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(tmp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok)
        ::unlink(tmp.c_str());
    return ok ? 0 : -err;
}
