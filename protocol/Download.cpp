#include "protocol/Download.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <system_error>
#include <thread>

#include "protocol/Frame.h"
#include "protocol/ResultCodes.h"

namespace {

constexpr int TRANSACT_LEN_MAX = 300;
constexpr int TRANSACT_BUF = 512;
constexpr int REPLY_HEADER = 5;

constexpr uint8_t CMD_START = 0xE7;
constexpr uint8_t CMD_SIZE = 0x01;
constexpr uint8_t CMD_BLOCK = 0x03;
constexpr uint8_t CMD_CHECKSUM = 0x04;
constexpr char START_DATA[] = "LoadP";
constexpr int SIZE_UNIT = 512;

int Step(FrameExchange& link, uint8_t machine, uint8_t command, uint8_t* data, int len) {
    return Transact(link, machine, command, DOWNLOAD_TIMEOUT_MS, DOWNLOAD_TIMEOUT_MS, len, data,
                    TRANSACT_DATA_MAX);
}

// A file already known to be too large is refused before the terminal hears
// of the download; one that cannot be measured yet fails after the start step.
bool KnownTooLarge(const char* path) {
    std::error_code ec;
    if (path == nullptr || !std::filesystem::is_regular_file(path, ec))
        return false;
    const auto size = std::filesystem::file_size(path, ec);
    return !ec && size > static_cast<std::uintmax_t>(DOWNLOAD_IMAGE_MAX);
}

// Reads the whole file into image. Returns RES_OK with size set,
// RES_FILE_UNREADABLE when it cannot be opened, measured or read,
// RES_IMAGE_TOO_LARGE when it does not fit.
ResultCode ReadImage(const char* path, uint8_t* image, int& size) {
    std::error_code ec;
    if (path == nullptr || !std::filesystem::is_regular_file(path, ec))
        return RES_FILE_UNREADABLE;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return RES_FILE_UNREADABLE;
    ResultCode rc = RES_OK;
    long end = -1;
    if (std::fseek(f, 0, SEEK_END) != 0 || (end = std::ftell(f)) < 0 ||
        std::fseek(f, 0, SEEK_SET) != 0)
        rc = RES_FILE_UNREADABLE;
    else if (end > DOWNLOAD_IMAGE_MAX)
        rc = RES_IMAGE_TOO_LARGE;
    else if (std::fread(image, 1, static_cast<size_t>(end), f) != static_cast<size_t>(end))
        rc = RES_FILE_UNREADABLE;
    std::fclose(f);
    size = static_cast<int>(end);
    return rc;
}

// Sends the block of up to 128 image bytes at offset: offset high, offset
// low, count, bytes.
int SendBlock(FrameExchange& link, uint8_t machine, const uint8_t* image, int size, int offset,
              uint8_t* data) {
    const int n = std::min(DOWNLOAD_BLOCK, size - offset);
    data[0] = static_cast<uint8_t>(offset >> 8);
    data[1] = static_cast<uint8_t>(offset & 0xFF);
    data[2] = static_cast<uint8_t>(n);
    std::memcpy(data + 3, image + offset, static_cast<size_t>(n));
    return Step(link, machine, CMD_BLOCK, data, n + 3);
}

} // namespace

int Transact(FrameExchange& link, uint8_t machine, uint8_t command, int F, int I, int& len,
             uint8_t* data, int dataSize) {
    if (len < 0 || len > TRANSACT_LEN_MAX)
        return RES_BAD_LENGTH;
    uint8_t buf[TRANSACT_BUF];
    const int sendLen = BuildFrame(machine, command, data, len, buf);
    if (sendLen < 0)
        return sendLen;
    int got = link.Exchange(buf, TRANSACT_BUF, sendLen, F, I);
    if (got < 0)
        return got;

    // The serial and UDP readers keep an acknowledgement in front of the reply
    // that followed it; the reply is the frame behind it, if a byte of it came.
    const int ackLen = LeadingAckLength(buf, got, 1);
    const uint8_t* reply = buf + ackLen;
    got -= ackLen;
    // An unchecked UDP datagram may be shorter than a header.
    if (got < REPLY_HEADER)
        return RES_RECV_ERROR;

    len = reply[3] << 8 | reply[4];
    if (reply[1] != machine)
        return RES_WRONG_MACHINE;
    const int n = std::min({len, dataSize, got - REPLY_HEADER});
    if (n > 0)
        std::memcpy(data, reply + REPLY_HEADER, static_cast<size_t>(n));
    return reply[2];
}

int DownloadImage(FrameExchange& link, uint8_t machine, const char* path,
                  DownloadProgress& progress) {
    if (KnownTooLarge(path))
        return RES_IMAGE_TOO_LARGE;
    uint8_t data[TRANSACT_DATA_MAX];

    std::memcpy(data, START_DATA, sizeof START_DATA - 1);
    int rc = Step(link, machine, CMD_START, data, sizeof START_DATA - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(DOWNLOAD_START_PAUSE_MS));
    if (rc != 0)
        return rc;

    uint8_t image[DOWNLOAD_IMAGE_MAX];
    int size = 0;
    rc = ReadImage(path, image, size);
    if (rc != 0)
        return rc;

    data[0] = static_cast<uint8_t>(size / SIZE_UNIT + 1);
    rc = Step(link, machine, CMD_SIZE, data, 1);
    if (rc != 0)
        return rc;
    progress.Started(size / DOWNLOAD_BLOCK);

    // The head of the image goes last, after every other block.
    for (int offset = DOWNLOAD_BLOCK; offset < size; offset += DOWNLOAD_BLOCK) {
        rc = SendBlock(link, machine, image, size, offset, data);
        if (rc != 0)
            return rc;
        progress.Stepped();
    }
    rc = SendBlock(link, machine, image, size, 0, data);
    if (rc != 0)
        return rc;
    progress.Stepped();

    const uint32_t sum = std::accumulate(image, image + size, uint32_t{0});
    data[0] = static_cast<uint8_t>((sum >> 8) & 0xFF);
    data[1] = static_cast<uint8_t>(sum & 0xFF);
    rc = Step(link, machine, CMD_CHECKSUM, data, 2);
    if (rc != 0)
        return rc;
    progress.Stepped();
    return RES_OK;
}

int DownloadPercent(int pos, int blockTotal) {
    const int total = std::max(blockTotal, 1);
    const int percent = static_cast<int>((pos + 0.0001) / total * 100 + 0.5);
    return std::min(percent, 100);
}
