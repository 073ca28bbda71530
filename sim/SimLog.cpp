#include "sim/SimLog.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

SimLog::SimLog(int fd) : m_nFd(fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return;
    m_bSocket = S_ISSOCK(st.st_mode);
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // O_NONBLOCK on the inherited description would reach the shell or
        // the parent that shares it; a fresh open of the same pipe does not.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int own = open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (own >= 0)
            m_nFd = m_nOwnFd = own;
    }
}

SimLog::~SimLog() {
    if (m_nOwnFd >= 0)
        close(m_nOwnFd);
}

bool SimLog::Push() {
    while (!m_strPending.empty()) {
        const ssize_t n = m_bSocket ? send(m_nFd, m_strPending.data(), m_strPending.size(),
                                           MSG_DONTWAIT | MSG_NOSIGNAL)
                                    : write(m_nFd, m_strPending.data(), m_strPending.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0) {
            // Nobody will ever read it (reader gone, disk full): stop trying.
            m_strPending.clear();
            m_bBroken = true;
            return false;
        }
        m_strPending.erase(0, static_cast<size_t>(n));
    }
    return true;
}

bool SimLog::Start(std::string text) {
    const size_t size = text.size();
    m_strPending = std::move(text);
    Push();
    if (m_strPending.size() < size)
        return true;
    // Not a byte went: the line is dropped whole rather than waited for.
    m_strPending.clear();
    return false;
}

void SimLog::OnWritable() {
    if (!Push() || !m_strPending.empty() || m_nDropped == 0)
        return;
    if (Start("NOTE log " + std::to_string(m_nDropped) + " lines dropped: nobody read them\n"))
        m_nDropped = 0;
}

void SimLog::Line(const std::string& text) {
    OnWritable();
    if (m_bBroken || !m_strPending.empty() || m_nDropped > 0 || !Start(text + "\n"))
        ++m_nDropped;
}
