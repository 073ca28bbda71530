#pragma once

#include <functional>
#include <string>

#include "cli/CliChannel.h"
#include "protocol/PubCommands.h"

// The subcommands of quillmark-cli. Arguments arrive checked (main.cpp);
// each run prints its outcome on stdout and returns the exit status: 0 on
// success, 1 on failure.

// Exit status for bad arguments, or a file that is not what it must be.
constexpr int CLI_EXIT_BAD_ARGS = 2;

// Prints the checksum of the hex bytes as four upper-case hex digits.
int RunCrc(const std::string& hex);

// Prints the request frame as the send window shows it.
int RunFrame(int machine, const std::string& cmd, const std::string& data);

// Prints one block of DES (key 16 hex digits) or two-key triple DES (key 32
// hex digits) as 16 hex digits.
int RunDes(bool bTriple, bool bDecrypt, const std::string& key, const std::string& data);

// Prints the friendly name of each serial port; 1 when there is none.
int RunPorts();

// Sends a request frame and prints it, the reply as the receive window
// shows it, and the status line; 0 when a reply frame was accepted.
int RunExchange(const ChannelSpec& chan, int machine, const std::string& cmd,
                const std::string& data);

// RunExchange for a diagnostic command (DiagCommand), with its verdict.
int RunDiag(const ChannelSpec& chan, int cmd);

struct RawOptions {
    bool bSend = false; // send strData
    bool bHex = false;  // strData is hex digits, else the bytes of the text
    std::string strData;
    bool bCr = false;        // append a carriage return
    bool bNoReceive = false; // send only
};

// Sends bytes without a frame and prints what arrives (within the
// first-character time-out, then until the line is quiet for the
// inter-character time-out) as one raw dump; 0 when bytes arrived, or, with
// bNoReceive, when the send succeeded.
int RunRaw(const ChannelSpec& chan, const RawOptions& opt);

// Runs a public command whose input BuildPubRequest accepts and prints the
// decoded fields or the dialog's message; 0 for a decoded reply.
int RunPub(const ChannelSpec& chan, const PubInput& in);

// Downloads the image at path to machine with a progress display, then
// prints the download dialog's outcome text; 0 on success.
int RunDownload(const ChannelSpec& chan, const std::string& path, int machine);

// Runs run on chan with its traffic recorded to the capture file at path
// (nothing recorded when path is empty); what names the run in the capture.
// Returns run's status, or 1 when the capture cannot be written (then
// nothing runs) or its writing failed.
int RunCaptured(ChannelSpec chan, const std::string& path, const std::string& what,
                const std::function<int(const ChannelSpec&)>& run);

// Prints a capture file: each interface, then each packet's time, interface,
// direction and length, its bytes as the receive window's raw dump, and its
// comment. Returns 0, 1 when the file is damaged (what precedes the fault is
// printed), 2 when it is no capture.
int RunShow(const std::string& path);
