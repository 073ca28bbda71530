// The capture reader: any input is refused or read without a fault, and
// reading is monotone: a file cut short reads as the first packets of the
// whole file, so show and replay keep what precedes a fault.
#include <string>

#include "FuzzInput.h"
#include "comm/CaptureReader.h"

namespace {

bool SamePacket(const CapturePacket& a, const CapturePacket& b) {
    return a.nInterface == b.nInterface && a.nTimeUs == b.nTimeUs && a.nDirection == b.nDirection &&
           a.bytes == b.bytes && a.strComment == b.strComment;
}

void CheckRead(int rc, const Capture& cap, const std::string& error) {
    FUZZ_CHECK(rc == CAPTURE_READ_OK || rc == CAPTURE_NOT_PCAPNG || rc == CAPTURE_DAMAGED);
    FUZZ_CHECK((rc == CAPTURE_READ_OK) == error.empty());
    FUZZ_CHECK(rc != CAPTURE_NOT_PCAPNG || (cap.packets.empty() && cap.interfaces.empty()));
    for (const CapturePacket& p : cap.packets) {
        FUZZ_CHECK(p.nInterface >= 0 && static_cast<size_t>(p.nInterface) < cap.interfaces.size());
        FUZZ_CHECK(p.bytes.size() <= static_cast<size_t>(CAPTURE_PACKET_MAX));
        FUZZ_CHECK(p.nDirection >= CAPTURE_DIR_UNKNOWN && p.nDirection <= CAPTURE_OUT);
    }
}

} // namespace

// Input: two bytes of a cut point, then the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint16_t cutAt = in.Word();
    const uint8_t* file = nullptr;
    const size_t n = in.Take(in.Left(), file);

    Capture whole;
    std::string error;
    const int rc = ParseCapture(file, n, whole, error);
    CheckRead(rc, whole, error);

    const size_t cut = n == 0 ? 0 : cutAt % n;
    Capture part;
    const int partRc = ParseCapture(file, cut, part, error);
    CheckRead(partRc, part, error);
    FUZZ_CHECK(part.packets.size() <= whole.packets.size());
    for (size_t i = 0; i < part.packets.size(); ++i)
        FUZZ_CHECK(SamePacket(part.packets[i], whole.packets[i]));
    return 0;
}
