#pragma once

#include "comm/CommJob.h"

// The worker's modem connect, on a port the console has opened.

// Dials the job's modem (the dial command in strAddress) and waits up to
// 10 s for carrier. Posts RC_CONNECTED or RC_CONNECT_FAILED with 1 and sets
// nResult, unless bCancel was set. Returns true when connected.
bool DialModem(CommJob& job);

// Abandons the job's dial: sets bCancel; once this returns, the dialling
// worker posts nothing more, gives up within 100 ms and ends, closing the
// port. Join it with StopWorker.
void CancelDial(CommJob& job);
