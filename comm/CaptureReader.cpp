#include "comm/CaptureReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int SHB_MIN = 28;  // up to the section length, and the closing length
constexpr int IDB_MIN = 20;  // link type, reserved, snapshot length
constexpr int EPB_HEAD = 28; // up to the packet data
constexpr int MICROS = 1000000;

// Magic numbers of the older pcap format, in either byte order.
constexpr uint32_t PCAP_MAGICS[] = {0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1};

uint32_t Swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

// Reads the numbers of one section in its byte order. Every read is
// bounds-checked by the caller.
class CSection {
  public:
    bool bSwap = false;

    uint16_t U16(const uint8_t* p) const {
        uint16_t v;
        std::memcpy(&v, p, sizeof v);
        return bSwap ? static_cast<uint16_t>(v >> 8 | v << 8) : v;
    }
    uint32_t U32(const uint8_t* p) const {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return bSwap ? Swap32(v) : v;
    }
    uint64_t U64(const uint8_t* p) const {
        return bSwap ? uint64_t{U32(p)} << 32 | U32(p + 4) : uint64_t{U32(p + 4)} << 32 | U32(p);
    }
};

uint32_t Padded(uint32_t n) {
    return (n + 3) & ~3u;
}

// One option of a block; Next returns false at the end marker or when the
// options end, and sets bBad when one runs past the block.
class COptions {
  public:
    COptions(const CSection& s, const uint8_t* p, const uint8_t* end)
        : m_s(s), m_p(p), m_end(end) {}

    bool Next(uint16_t& code, const uint8_t*& value, uint16_t& len) {
        if (m_end - m_p < 4)
            return false;
        code = m_s.U16(m_p);
        len = m_s.U16(m_p + 2);
        if (code == PCAPNG_OPT_END)
            return false;
        if (static_cast<uint32_t>(m_end - m_p - 4) < Padded(len)) {
            bBad = true;
            return false;
        }
        value = m_p + 4;
        m_p += 4 + Padded(len);
        return true;
    }

    bool bBad = false;

  private:
    const CSection& m_s;
    const uint8_t* m_p;
    const uint8_t* m_end;
};

std::string Text(const uint8_t* p, uint16_t len) {
    return std::string(reinterpret_cast<const char*>(p), len);
}

// Time stamp units per second of an interface and its offset in seconds.
struct Clock {
    uint64_t nUnits = MICROS;
    int64_t nOffsetS = 0;
};

class CParser {
  public:
    CParser(const uint8_t* data, size_t size, Capture& out, std::string& error)
        : m_data(data), m_size(size), m_out(out), m_error(error) {}

    int Run() {
        m_out = Capture{};
        if (m_size == 0)
            return Refuse("an empty file, not a capture");
        uint32_t first = 0;
        if (m_size >= 4) {
            std::memcpy(&first, m_data, 4);
            for (uint32_t magic : PCAP_MAGICS)
                if (first == magic || first == Swap32(magic))
                    return Refuse("a pcap file, not pcapng: open it in Wireshark and save it "
                                  "in the pcapng format");
        }
        if (m_size < 4 || first != PCAPNG_SHB)
            return Refuse("not a capture (no pcapng section header at its start)");
        while (m_pos < m_size) {
            const int rc = Block();
            if (rc != CAPTURE_READ_OK)
                return rc;
        }
        return CAPTURE_READ_OK;
    }

  private:
    int Refuse(const std::string& what) {
        m_error = what;
        return CAPTURE_NOT_PCAPNG;
    }

    // A fault at the current block: before the first section header the
    // file is no capture, after it the file is damaged.
    int Fault(const std::string& what) {
        m_error = "block at offset " + std::to_string(m_pos) + ": " + what;
        return m_bSection ? CAPTURE_DAMAGED : CAPTURE_NOT_PCAPNG;
    }

    int Block() {
        const size_t left = m_size - m_pos;
        const uint8_t* b = m_data + m_pos;
        if (left < 12)
            return Fault("cut short: the file ends inside it");
        uint32_t type = 0;
        std::memcpy(&type, b, 4);
        if (type == PCAPNG_SHB) {
            // A new section may change the byte order its numbers use.
            uint32_t magic = 0;
            std::memcpy(&magic, b + 8, 4);
            if (magic != PCAPNG_BYTE_ORDER_MAGIC && magic != Swap32(PCAPNG_BYTE_ORDER_MAGIC))
                return Fault("section header with a bad byte-order magic");
            m_s.bSwap = magic != PCAPNG_BYTE_ORDER_MAGIC;
        } else {
            type = m_s.U32(b);
        }
        const uint32_t len = m_s.U32(b + 4);
        if (len < 12 || len % 4 != 0)
            return Fault("bad block length " + std::to_string(len));
        if (len > left)
            return Fault("length " + std::to_string(len) + " runs past the end of the file (" +
                         std::to_string(left) + " bytes left)");
        if (m_s.U32(b + len - 4) != len)
            return Fault("its closing length differs from its opening length");
        int rc = CAPTURE_READ_OK;
        switch (type) {
        case PCAPNG_SHB:
            rc = Section(b, len);
            break;
        case PCAPNG_IDB:
            rc = Interface(b, len);
            break;
        case PCAPNG_EPB:
            rc = Packet(b, len);
            break;
        default:
            // Statistics, name resolution and the like, which Wireshark may
            // add when it saves a file: nothing in them is traffic.
            ++m_out.nSkippedBlocks;
            break;
        }
        if (rc == CAPTURE_READ_OK)
            m_pos += len;
        return rc;
    }

    int Section(const uint8_t* b, uint32_t len) {
        if (len < SHB_MIN)
            return Fault("section header too short");
        if (m_s.U16(b + 12) != 1)
            return Fault("pcapng version " + std::to_string(m_s.U16(b + 12)) + " is not read");
        m_bSection = true;
        m_section.clear();
        m_nSide = CAPTURE_SIDE_UNKNOWN;
        m_strProgram.clear();
        COptions opt(m_s, b + 24, b + len - 4);
        uint16_t code = 0;
        uint16_t n = 0;
        const uint8_t* v = nullptr;
        while (opt.Next(code, v, n)) {
            if (code == PCAPNG_OPT_COMMENT && Text(v, n) == CAPTURE_HOST_COMMENT)
                m_nSide = CAPTURE_SIDE_HOST;
            else if (code == PCAPNG_OPT_COMMENT && Text(v, n) == CAPTURE_TERMINAL_COMMENT)
                m_nSide = CAPTURE_SIDE_TERMINAL;
            else if (code == PCAPNG_SHB_USERAPPL)
                m_strProgram = Text(v, n);
        }
        return opt.bBad ? Fault("an option runs past the end of the section header")
                        : CAPTURE_READ_OK;
    }

    int Interface(const uint8_t* b, uint32_t len) {
        if (len < IDB_MIN)
            return Fault("interface description too short");
        CaptureInterface i;
        i.nLinkType = m_s.U16(b + 8);
        i.nSide = m_nSide;
        i.strProgram = m_strProgram;
        Clock clock;
        COptions opt(m_s, b + 16, b + len - 4);
        uint16_t code = 0;
        uint16_t n = 0;
        const uint8_t* v = nullptr;
        while (opt.Next(code, v, n)) {
            if (code == PCAPNG_IF_NAME) {
                i.strName = Text(v, n);
            } else if (code == PCAPNG_IF_DESCRIPTION) {
                i.strDescription = Text(v, n);
            } else if (code == PCAPNG_IF_TSRESOL && n >= 1) {
                // 10^-r seconds, or 2^-r with the high bit set.
                const int r = v[0] & 0x7F;
                if ((v[0] & 0x80) ? r > 63 : r > 19)
                    return Fault("time resolution " + std::to_string(v[0]) + " is not read");
                clock.nUnits = 1;
                for (int k = 0; k < r; ++k)
                    clock.nUnits *= (v[0] & 0x80) ? 2 : 10;
            } else if (code == PCAPNG_IF_TSOFFSET && n >= 8) {
                clock.nOffsetS = static_cast<int64_t>(m_s.U64(v));
            }
        }
        if (opt.bBad)
            return Fault("an option runs past the end of the interface description");
        m_section.push_back({static_cast<int>(m_out.interfaces.size()), clock});
        m_out.interfaces.push_back(std::move(i));
        return CAPTURE_READ_OK;
    }

    int Packet(const uint8_t* b, uint32_t len) {
        if (len < EPB_HEAD + 4)
            return Fault("packet block too short");
        const uint32_t iface = m_s.U32(b + 8);
        if (iface >= m_section.size())
            return Fault("packet on interface " + std::to_string(iface) +
                         ", which the section has not described");
        const uint32_t caplen = m_s.U32(b + 20);
        if (caplen > CAPTURE_PACKET_MAX)
            return Fault("packet of " + std::to_string(caplen) + " bytes, more than " +
                         std::to_string(CAPTURE_PACKET_MAX));
        if (EPB_HEAD + Padded(caplen) + 4 > len)
            return Fault("packet data runs past the end of its block");
        CapturePacket p;
        p.nInterface = m_section[iface].nIndex;
        p.nTimeUs =
            Micros(m_section[iface].clock, uint64_t{m_s.U32(b + 12)} << 32 | m_s.U32(b + 16));
        p.bytes.assign(b + EPB_HEAD, b + EPB_HEAD + caplen);
        COptions opt(m_s, b + EPB_HEAD + Padded(caplen), b + len - 4);
        uint16_t code = 0;
        uint16_t n = 0;
        const uint8_t* v = nullptr;
        while (opt.Next(code, v, n)) {
            if (code == PCAPNG_EPB_FLAGS && n >= 4)
                p.nDirection = static_cast<int>(m_s.U32(v) & 3);
            else if (code == PCAPNG_OPT_COMMENT)
                p.strComment += (p.strComment.empty() ? "" : "\n") + Text(v, n);
        }
        if (opt.bBad)
            return Fault("an option runs past the end of the packet block");
        // 3 is not a direction pcapng defines.
        if (p.nDirection == 3)
            p.nDirection = CAPTURE_DIR_UNKNOWN;
        m_out.packets.push_back(std::move(p));
        return CAPTURE_READ_OK;
    }

    static int64_t Micros(const Clock& c, uint64_t ts) {
        // Unsigned throughout: a file's nonsense times wrap instead of overflowing.
        const unsigned __int128 us = static_cast<unsigned __int128>(ts) * MICROS / c.nUnits;
        return static_cast<int64_t>(static_cast<uint64_t>(us) +
                                    static_cast<uint64_t>(c.nOffsetS) * MICROS);
    }

    struct SectionInterface {
        int nIndex; // in Capture::interfaces
        Clock clock;
    };

    const uint8_t* m_data;
    size_t m_size;
    Capture& m_out;
    std::string& m_error;
    size_t m_pos = 0;
    CSection m_s;
    bool m_bSection = false;
    int m_nSide = CAPTURE_SIDE_UNKNOWN;
    std::string m_strProgram;
    std::vector<SectionInterface> m_section;
};

} // namespace

int ParseCapture(const uint8_t* data, size_t size, Capture& out, std::string& error) {
    error.clear();
    return CParser(data, size, out, error).Run();
}

int LoadCapture(const std::string& path, Capture& out, std::string& error) {
    out = Capture{};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot read it (" + std::strerror(errno) + ")";
        return CAPTURE_NOT_PCAPNG;
    }
    std::vector<uint8_t> data;
    bool bMore = false;
    for (;;) {
        const size_t have = data.size();
        if (have == CAPTURE_FILE_MAX) {
            uint8_t probe;
            bMore = read(fd, &probe, 1) == 1;
            break;
        }
        data.resize(std::min(CAPTURE_FILE_MAX, have + (size_t{1} << 20)));
        const ssize_t n = read(fd, data.data() + have, data.size() - have);
        if (n < 0 && errno == EINTR) {
            data.resize(have);
            continue;
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : 0;
            data.resize(have);
            if (err != 0) {
                close(fd);
                error = path + ": cannot read it (" + std::strerror(err) + ")";
                return CAPTURE_NOT_PCAPNG;
            }
            break;
        }
        data.resize(have + static_cast<size_t>(n));
    }
    close(fd);
    int rc = ParseCapture(data.data(), data.size(), out, error);
    if (bMore && rc != CAPTURE_NOT_PCAPNG) {
        error = "only its first " + std::to_string(CAPTURE_FILE_MAX >> 20) + " MiB were read" +
                (error.empty() ? "" : "; " + error);
        rc = CAPTURE_DAMAGED;
    }
    if (!error.empty())
        error = path + ": " + error;
    return rc;
}
