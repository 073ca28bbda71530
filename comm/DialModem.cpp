#include "comm/DialModem.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "comm/Modem.h"
#include "comm/Notify.h"
#include "protocol/ResultCodes.h"

namespace {

constexpr int DIAL_COMMAND_SIZE = 100;
constexpr int CARRIER_TIMEOUT_MS = 10000;

// Held while a dial outcome is posted and while a cancel is filed, so that
// no outcome slips out after CancelDial has returned.
std::mutex g_dialPostMutex;

void PostDialOutcome(CommJob& job, int code) {
    std::lock_guard<std::mutex> lock(g_dialPostMutex);
    if (!job.bCancel) {
        PostCommResult(job.hNotifyWnd, code, CH_MODEM);
    }
}

} // namespace

bool DialModem(CommJob& job) {
    uint8_t command[DIAL_COMMAND_SIZE] = {};
    const int len = static_cast<int>(std::min(job.strAddress.size(), sizeof(command) - 1));
    std::memcpy(command, job.strAddress.data(), len);

    const ResultCode dialed = ComDialLine(job.nPort, command, len);
    CaptureSent(job.capture, command, len, dialed);
    if (dialed != 0) {
        job.nResult = dialed;
        PostDialOutcome(job, RC_CONNECT_FAILED);
        return false;
    }
    const int carrier = ComWaitCarrier(job.nPort, CARRIER_TIMEOUT_MS, &job.bCancel);
    if (carrier == 1) {
        job.nResult = 0;
        PostDialOutcome(job, RC_CONNECTED);
        return !job.bCancel;
    }
    if (carrier == 0) {
        return false;
    }
    job.nResult = carrier;
    PostDialOutcome(job, RC_CONNECT_FAILED);
    return false;
}

void CancelDial(CommJob& job) {
    std::lock_guard<std::mutex> lock(g_dialPostMutex);
    job.bCancel = true;
}
