#pragma once

#include <cstdint>
#include <thread>

#include "comm/CommJob.h"

// The worker loop: connects the channel when needed, runs one operation per
// job signal and posts every outcome. Returns 0 when it ends (stop, failed
// connect or dial, failed wait), with its channel closed.
int CommThreadProc(CommJob* job);

// TCP connect or UDP bind of the job's channel. Posts RC_CONNECTED or
// RC_CONNECT_FAILED with the channel, sets nResult and nError, stores the
// socket.
// Returns true when connected; any other channel gives false, posts nothing.
bool OpenNetChannel(int& sock, CommJob& job);

// Sends the frame in buf by channel and reads the reply into the same buffer
// of bufSize bytes, recording both on capture. Returns the reply length,
// RES_SEND_FAILED when the send failed, or the reader's code.
int ExchangeFrame(int handle, uint8_t* buf, int bufSize, int sendLen, int F, int I, int channel,
                  const char* addr, int port, const CaptureLink& capture = {});

// One raw receive of up to 512 bytes into buf (at least 513 bytes): serial
// returns at once with what waits, TCP does not wait, UDP waits at most
// RAW_UDP_WAIT_MS; what comes is recorded on capture. Returns the count or
// a result code.
constexpr int RAW_RECV_MAX = 512;
constexpr int RAW_UDP_WAIT_MS = 1000;
int RecvRaw(int handle, uint8_t* buf, int channel, const CaptureLink& capture = {});

// Starts a worker on job after clearing the stopped, stop and job events and
// bCancel (so that nothing left by an earlier worker or cancel reaches it).
std::thread StartWorker(CommJob& job);

// How long a stop lets a reply wait or send in progress run on: a reply on
// its way still arrives and is posted, one that does not come is given up
// rather than waited for up to the first-character time-out.
inline constexpr int STOP_GRACE_MS = 1000;

// The stop handshake: sets bCancel (ending a connect or dial in progress at
// once, a reply wait or send after STOP_GRACE_MS, posted as a failure),
// stop, then job, and returns after the worker has ended and its channel is
// closed. A worker that ended by itself is only joined; an empty thread is
// left alone.
void StopWorker(CommJob& job, std::thread& worker);
