#include "comm/CaptureWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A block in the writing machine's byte order, as pcapng allows: the
// section header's byte-order magic tells readers which it is.
class CBlock {
  public:
    explicit CBlock(uint32_t type) {
        U32(type);
        U32(0); // total length, filled in by Finish
    }

    void U16(uint16_t v) { Raw(&v, sizeof v); }
    void U32(uint32_t v) { Raw(&v, sizeof v); }
    void U64(uint64_t v) { Raw(&v, sizeof v); }
    void Raw(const void* p, size_t n) { m_bytes.append(static_cast<const char*>(p), n); }
    void Pad() { m_bytes.append((4 - m_bytes.size() % 4) % 4, '\0'); }

    // An option whose value is text; empty text writes none.
    void Option(uint16_t code, const std::string& text) {
        if (text.empty())
            return;
        Option(code, text.data(), text.size());
    }
    void Option(uint16_t code, const void* value, size_t n) {
        U16(code);
        U16(static_cast<uint16_t>(n));
        Raw(value, n);
        Pad();
    }

    // Ends the options and the block; returns its bytes.
    const std::string& Finish(bool bOptions) {
        if (bOptions) {
            U16(PCAPNG_OPT_END);
            U16(0);
        }
        const uint32_t total = static_cast<uint32_t>(m_bytes.size() + 4);
        U32(total);
        std::memcpy(m_bytes.data() + 4, &total, sizeof total);
        return m_bytes;
    }

  private:
    std::string m_bytes;
};

// Option values are at most 65535 bytes; longer texts are cut.
std::string OptionText(const std::string& text) {
    return text.substr(0, 0xFFFF);
}

} // namespace

int CCaptureWriter::Open(const std::string& path, int side, const std::string& program) {
    if (side != CAPTURE_SIDE_HOST && side != CAPTURE_SIDE_TERMINAL)
        return -EINVAL;
    Close();
    std::lock_guard<std::mutex> lock(m_mutex);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return -errno;
    m_nFd = fd;
    m_nInterfaces = 0;
    m_nError = 0;
    m_nSize = 0;

    CBlock b(PCAPNG_SHB);
    b.U32(PCAPNG_BYTE_ORDER_MAGIC);
    b.U16(1); // version 1.0
    b.U16(0);
    b.U64(~uint64_t{0}); // section length not given: it grows as we write
    b.Option(PCAPNG_OPT_COMMENT,
             side == CAPTURE_SIDE_HOST ? CAPTURE_HOST_COMMENT : CAPTURE_TERMINAL_COMMENT);
    b.Option(PCAPNG_SHB_USERAPPL, OptionText(program));
    const int rc = Append(b.Finish(true));
    if (rc != 0) {
        close(m_nFd);
        m_nFd = -1;
    }
    return rc;
}

int CCaptureWriter::AddInterface(const std::string& name, const std::string& description) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nFd < 0)
        return -EBADF;
    if (m_nError != 0)
        return m_nError;
    CBlock b(PCAPNG_IDB);
    b.U16(LINKTYPE_USER0);
    b.U16(0);
    b.U32(0); // no snapshot length: packets are kept whole
    b.Option(PCAPNG_IF_NAME, OptionText(name));
    b.Option(PCAPNG_IF_DESCRIPTION, OptionText(description));
    const int rc = Append(b.Finish(true));
    return rc != 0 ? rc : m_nInterfaces++;
}

int CCaptureWriter::Packet(int iface, int direction, int64_t wallUs, const uint8_t* data, int count,
                           const std::string& comment) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nFd < 0)
        return -EBADF;
    if (m_nError != 0)
        return m_nError;
    if (iface < 0 || iface >= m_nInterfaces ||
        (direction != CAPTURE_IN && direction != CAPTURE_OUT) || count < 0 ||
        (count > 0 && data == nullptr))
        return -EINVAL;
    if (count > CAPTURE_PACKET_MAX)
        return -EMSGSIZE;
    const uint64_t ts = static_cast<uint64_t>(wallUs); // default resolution: microseconds
    CBlock b(PCAPNG_EPB);
    b.U32(static_cast<uint32_t>(iface));
    b.U32(static_cast<uint32_t>(ts >> 32));
    b.U32(static_cast<uint32_t>(ts));
    b.U32(static_cast<uint32_t>(count));
    b.U32(static_cast<uint32_t>(count));
    b.Raw(data, static_cast<size_t>(count));
    b.Pad();
    const uint32_t flags = static_cast<uint32_t>(direction);
    b.Option(PCAPNG_EPB_FLAGS, &flags, sizeof flags);
    b.Option(PCAPNG_OPT_COMMENT, OptionText(comment));
    return Append(b.Finish(true));
}

int CCaptureWriter::Append(const std::string& block) {
    const ssize_t n = write(m_nFd, block.data(), block.size());
    if (n == static_cast<ssize_t>(block.size())) {
        m_nSize += n;
        return 0;
    }
    // A short write leaves part of a block behind: cut it off, so that the
    // file stays readable to its last whole block.
    m_nError = n < 0 ? -errno : -ENOSPC;
    if (ftruncate(m_nFd, m_nSize) == 0)
        lseek(m_nFd, m_nSize, SEEK_SET);
    return m_nError;
}

int CCaptureWriter::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nFd < 0)
        return 0;
    if (close(m_nFd) != 0 && m_nError == 0)
        m_nError = -errno;
    m_nFd = -1;
    return m_nError;
}

bool CCaptureWriter::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nFd >= 0;
}

int CCaptureWriter::Error() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nError;
}

std::string CaptureOpenFailedText(const std::string& path, int err) {
    return "cannot write the capture " + path + ": " + std::strerror(-err);
}

std::string CaptureWriteFailedText(const std::string& path, int err) {
    return "capture " + path + ": writing failed (" + std::strerror(-err) +
           "); it ends at its last whole packet";
}
