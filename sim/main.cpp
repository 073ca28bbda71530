// quillmark-sim: a reader terminal in software, on a pseudo-terminal or tty,
// TCP and UDP, for the console, the command-line tool and the tests.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

#include "comm/NetAddress.h"
#include "sim/SimChannels.h"
#include "sim/SimReplay.h"
#include "sim/SimTerminal.h"

namespace {

constexpr int EXIT_BAD_ARGS = 2;

bool ParseHexBytes(const std::string& text, uint8_t* out, size_t count) {
    if (text.size() != count * 2)
        return false;
    for (size_t i = 0; i < count; ++i) {
        const char* first = text.data() + i * 2;
        const auto [end, ec] = std::from_chars(first, first + 2, out[i], 16);
        if (ec != std::errc() || end != first + 2)
            return false;
    }
    return true;
}

CLI::Validator HexBytes(size_t count) {
    return CLI::Validator(
        [count](std::string& s) {
            uint8_t tmp[8];
            return ParseHexBytes(s, tmp, count)
                       ? std::string()
                       : "expected " + std::to_string(count * 2) + " hex digits";
        },
        "");
}

// Writes text to path through a temporary file, so a reader never sees half.
int WriteWholeFile(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return -1;
    const bool ok = std::fputs(text.c_str(), f) >= 0;
    if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), path.c_str()) != 0)
        return -1;
    return 0;
}

// The replay of the capture at path. Returns nullptr, after saying why,
// when the file is no capture; a damaged one replays what precedes the fault.
std::unique_ptr<SimReplay> LoadReplay(const std::string& path, bool bTiming) {
    Capture cap;
    std::string error;
    const int rc = LoadCapture(path, cap, error);
    if (rc == CAPTURE_NOT_PCAPNG) {
        std::fprintf(stderr, "quillmark-sim: %s\n", error.c_str());
        return nullptr;
    }
    if (rc == CAPTURE_DAMAGED)
        std::fprintf(stderr, "quillmark-sim: %s; replaying what precedes it\n", error.c_str());
    auto replay = std::make_unique<SimReplay>(cap, bTiming);
    if (replay->UnknownSides() > 0)
        std::fprintf(stderr,
                     "quillmark-sim: %d interfaces of %s left out: their section does not say "
                     "which side wrote it\n",
                     replay->UnknownSides(), path.c_str());
    return replay;
}

const char* const FOOTER =
    R"(Faults (--fault KIND or KIND:HH, HH a command byte in hex; repeatable):
  ack             acknowledgement frame in front of the reply, in the same write
  ack-split       acknowledgement frame alone, the reply --ack-delay ms later
                  (a separate write; on UDP a separate datagram)
  first-delay     the reply's first byte goes --first-delay ms late
  byte-gap        --byte-gap ms between bytes (on UDP each byte is a datagram)
  bad-crc         low checksum byte inverted
  bad-end         end byte 00 instead of C3
  transfer-error  the frame C2 FF CE 00 01 E6 0F 72 C3 instead of the reply
  silent          no reply
  close           TCP: the connection is closed instead of the reply
                  (other lines: no reply)
  status          status --status and no data instead of the reply; the
                  request is not carried out
  garbage         55 AA 00 before the first start byte
Faults combine; transfer-error, status, silent and close leave the terminal
unchanged.

Captures (pcapng, for Wireshark, quillmark-cli show and --replay):
--capture FILE records every line from the terminal's side: requests and
bytes outside frames in, each reply write out, one interface per line and
per TCP client. --replay FILE answers instead of the terminal: each request
gets the reply that followed the same request bytes in the capture (from
either side), in the order recorded; one it never saw gets no reply.

Commands: E0-E6 management, E4 version, E1 reader ID, 03 power on (13-byte
ATR with a card, one byte 01 without), 07 power off, 24 PC/SC mode, the
download E7 "LoadP", 01 size, 03 blocks, 04 byte sum; anything else is
echoed with status 0. Requests for another machine number are ignored; the
reply carries the machine number the request addressed (255 included).
Refusals: status 01 bad request, 02 out of order, 03 byte sum, 04 size,
05 image not saved.

Log (stdout, one line each). Answers never wait for the log: a line its
reader has no room for is dropped, and "NOTE log N lines dropped" follows
once there is room again; the start-up lines up to READY always go.
  pty: PATH                 the pseudo-terminal to open
  REPLAY PATH N             replaying N recorded requests
  LISTEN tcp|udp ADDR:PORT  OPEN tty PATH BAUD
  CONNECT tcp ADDR:PORT     DISCONNECT tcp ADDR:PORT REASON
  RX LINE HH HH ...         a request frame received
  TX LINE HH HH ...         one write sent (acknowledgement, garbage included)
  SKIP LINE HH ...          bytes outside any frame
  DROP LINE HH ...          an incomplete frame dropped
  NOTE LINE TEXT            what the terminal did (download outcome, faults)
  READY                     every line is open
LINE is pty, tty, tcp or udp.

Exit status: 0 after SIGINT or SIGTERM, 1 when a line cannot be opened or
the capture cannot be written, 2 for bad arguments or a --replay file that
is no capture.)";

// The lines to serve.
struct LineArgs {
    bool bPty = false;
    std::string strDevice;
    int nBaud = 19200;
    std::string strTcp = "127.0.0.1:6688";
    std::string strUdp = "127.0.0.1:6689";
    bool bNoTcp = false;
    bool bNoUdp = false;
    std::string strPortFile;
    std::string strCountsFile;
    int nFrameTimeout = 1000;
    int nParentFd = -1;
};

void AddLineOptions(CLI::App& app, LineArgs& a) {
    app.add_flag("--pty", a.bPty, "Create a pseudo-terminal; its path is printed as \"pty: PATH\"")
        ->group("Lines");
    auto* dev = app.add_option("--device", a.strDevice, "Serve a tty device (raw 8N1)")
                    ->group("Lines")
                    ->type_name("PATH");
    app.add_option("--baud", a.nBaud,
                   "Speed of --device: 1200 2400 4800 9600 19200 38400 57600 115200 "
                   "230400 460800 921600")
        ->group("Lines")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& s) {
                return SimBaudSupported(std::atoi(s.c_str())) ? "" : "unsupported speed " + s;
            },
            ""))
        ->needs(dev);
    // Port 0 asks the system for any free port.
    const auto endpoint = CLI::Validator(
        [](std::string& s) {
            std::string addr;
            int port = 0;
            return ParseEndpoint(s, addr, port) ? std::string() : "expected ADDR:PORT, got " + s;
        },
        "");
    auto* tcp = app.add_option("--tcp", a.strTcp,
                               "TCP server address (port 0: any free port); serves up to 16 "
                               "clients at once, all talking to the one terminal")
                    ->group("Lines")
                    ->type_name("ADDR:PORT")
                    ->capture_default_str()
                    ->check(endpoint);
    auto* udp = app.add_option("--udp", a.strUdp, "UDP address (port 0: any free port)")
                    ->group("Lines")
                    ->type_name("ADDR:PORT")
                    ->capture_default_str()
                    ->check(endpoint);
    app.add_flag("--no-tcp", a.bNoTcp, "No TCP server")->group("Lines")->excludes(tcp);
    app.add_flag("--no-udp", a.bNoUdp, "No UDP socket")->group("Lines")->excludes(udp);
    app.add_option("--port-file", a.strPortFile,
                   "Write the bound ports (\"tcp N\", \"udp N\", \"pty PATH\") to this file once "
                   "every line is open")
        ->group("Lines")
        ->type_name("PATH");
    app.add_option("--counts-file", a.strCountsFile,
                   "At the end, write the request frames received and the frames sent on each "
                   "kind of line (\"tcp RX TX\") to this file: totals that a log reader losing "
                   "lines cannot miss")
        ->group("Lines")
        ->type_name("PATH");
    // Hidden: the read end of a pipe whose write end only the launching
    // program holds. Its end of file, however the launcher ended (even
    // killed), stops the simulator as SIGTERM does, so that no simulator
    // outlives the test or benchmark that started it.
    app.add_option("--parent-fd", a.nParentFd)->group("")->check(CLI::NonNegativeNumber);
    app.add_option("--frame-timeout", a.nFrameTimeout,
                   "Drop a partial request frame after this many ms of silence")
        ->group("Lines")
        ->type_name("MS")
        ->capture_default_str()
        ->check(CLI::Range(1, 600000).description(""));
}

// What the terminal is, as typed.
struct TerminalArgs {
    int nMachine = SimIdentity{}.nMachine;
    std::string strId = "12345678";
    std::vector<int> type = {SimIdentity{}.type[0], SimIdentity{}.type[1]};
    std::string strFirmware = "24051710";
    std::string strBuild = "24060309";
    int nRate = 0;
    std::string strCard = "present";
    std::string strSaveImage;
};

void AddTerminalOptions(CLI::App& app, TerminalArgs& a) {
    app.add_option("--machine", a.nMachine, "Machine number, 1-255")
        ->group("Terminal")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(1, 255).description(""));
    app.add_option("--id", a.strId, "Device ID, 4 bytes in hex")
        ->group("Terminal")
        ->type_name("HEX8")
        ->capture_default_str()
        ->check(HexBytes(4));
    app.add_option("--type", a.type, "Device type, two numbers 0-255 (default 3,1)")
        ->group("Terminal")
        ->type_name("A,B")
        ->delimiter(',')
        ->expected(2)
        ->check(CLI::Range(0, 255).description(""));
    app.add_option("--firmware-date", a.strFirmware, "Firmware date, BCD YYMMDDHH")
        ->group("Terminal")
        ->type_name("HEX8")
        ->capture_default_str()
        ->check(HexBytes(4));
    app.add_option("--build-date", a.strBuild, "Program completion date, BCD YYMMDDHH")
        ->group("Terminal")
        ->type_name("HEX8")
        ->capture_default_str()
        ->check(HexBytes(4));
    app.add_option("--rate", a.nRate, "Communication-rate index, 0 (19200) to 7 (115200)")
        ->group("Terminal")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(0, 7).description(""));
    app.add_option("--card", a.strCard, "Card in the probe: present or absent")
        ->group("Terminal")
        ->type_name("WHICH")
        ->capture_default_str()
        ->check(CLI::IsMember({"present", "absent"}).description(""));
    app.add_option("--save-image", a.strSaveImage,
                   "Write each completely downloaded image to this file")
        ->group("Terminal")
        ->type_name("PATH");
}

// The identity of checked options.
SimIdentity ToIdentity(const TerminalArgs& a) {
    SimIdentity me;
    me.nMachine = static_cast<uint8_t>(a.nMachine);
    ParseHexBytes(a.strId, me.id, 4);
    me.type[0] = static_cast<uint8_t>(a.type[0]);
    me.type[1] = static_cast<uint8_t>(a.type[1]);
    ParseHexBytes(a.strFirmware, me.firmwareDate, 4);
    ParseHexBytes(a.strBuild, me.buildDate, 4);
    me.nRate = static_cast<uint8_t>(a.nRate);
    me.bCard = a.strCard == "present";
    return me;
}

struct CaptureArgs {
    std::string strCapture;
    std::string strReplay;
    bool bReplayTiming = false;
};

// Returns the --replay option, which the faults exclude.
CLI::Option* AddCaptureOptions(CLI::App& app, CaptureArgs& a) {
    app.add_option("--capture", a.strCapture, "Record every line's traffic to this file (pcapng)")
        ->group("Captures")
        ->type_name("FILE");
    auto* replay = app.add_option("--replay", a.strReplay,
                                  "Answer each request with its recorded reply from this capture")
                       ->group("Captures")
                       ->type_name("FILE");
    app.add_flag("--replay-timing", a.bReplayTiming,
                 "Wait the recorded time before each packet of a replayed reply")
        ->group("Captures")
        ->needs(replay);
    return replay;
}

struct FaultArgs {
    SimFaultSettings settings; // all but the faults and the status byte
    std::vector<std::string> texts;
    std::string strStatus = "01";
};

void AddFaultOptions(CLI::App& app, FaultArgs& a, CLI::Option* replay) {
    auto* fault =
        app.add_option("--fault", a.texts, "Misbehave on every reply, or on replies to command HH")
            ->group("Faults")
            ->type_name("KIND[:HH]")
            ->check(CLI::Validator(
                [](std::string& s) {
                    SimFault f{};
                    return ParseFault(s, f) ? "" : "unknown fault " + s;
                },
                ""));
    // A replay answers as recorded: faults of its own would spoil that.
    fault->excludes(replay);
    app.add_option("--ack-delay", a.settings.nAckDelayMs, "ms between acknowledgement and reply")
        ->group("Faults")
        ->type_name("MS")
        ->capture_default_str()
        ->check(CLI::Range(0, 600000).description(""));
    app.add_option("--first-delay", a.settings.nFirstDelayMs, "ms before the first byte")
        ->group("Faults")
        ->type_name("MS")
        ->capture_default_str()
        ->check(CLI::Range(0, 600000).description(""));
    app.add_option("--byte-gap", a.settings.nByteGapMs, "ms between bytes")
        ->group("Faults")
        ->type_name("MS")
        ->capture_default_str()
        ->check(CLI::Range(0, 600000).description(""));
    app.add_option("--status", a.strStatus, "Status byte of the status fault (hex, not 00)")
        ->group("Faults")
        ->type_name("HH")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& s) {
                uint8_t b = 0;
                return ParseHexBytes(s, &b, 1) && b != 0 ? "" : "expected HH, not 00";
            },
            ""));
}

// The fault settings of checked options.
SimFaultSettings ToFaults(const FaultArgs& a) {
    SimFaultSettings faults = a.settings;
    for (const std::string& t : a.texts) {
        SimFault f{};
        ParseFault(t, f);
        faults.faults.push_back(f);
    }
    ParseHexBytes(a.strStatus, &faults.nStatus, 1);
    return faults;
}

// Opens every line asked for, adding each bound port's line to ports.
// Returns 0, or 1 after saying which line could not be opened.
int OpenLines(SimServer& server, const LineArgs& a, std::string& ports) {
    const auto fail = [](const char* what, const std::string& where, int rc) {
        std::fprintf(stderr, "quillmark-sim: cannot open %s %s: %s\n", what, where.c_str(),
                     std::strerror(-rc));
        return 1;
    };
    if (a.bPty) {
        std::string path;
        const int rc = server.OpenPty(path);
        if (rc != 0)
            return fail("pty", "", rc);
        ports += "pty " + path + "\n";
    }
    if (!a.strDevice.empty()) {
        const int rc = server.OpenDevice(a.strDevice.c_str(), a.nBaud);
        if (rc != 0)
            return fail("device", a.strDevice, rc);
    }
    std::string addr;
    int port = 0;
    int bound = 0;
    if (!a.bNoTcp) {
        ParseEndpoint(a.strTcp, addr, port);
        const int rc = server.OpenTcp(addr.c_str(), port, bound);
        if (rc != 0)
            return fail("tcp", a.strTcp, rc);
        ports += "tcp " + std::to_string(bound) + "\n";
    }
    if (!a.bNoUdp) {
        ParseEndpoint(a.strUdp, addr, port);
        const int rc = server.OpenUdp(addr.c_str(), port, bound);
        if (rc != 0)
            return fail("udp", a.strUdp, rc);
        ports += "udp " + std::to_string(bound) + "\n";
    }
    return 0;
}

// Serves the lines until SIGINT or SIGTERM. Returns the exit status.
int Serve(const LineArgs& lines, const SimIdentity& me, const SimFaultSettings& faults,
          const std::string& saveImage, const CaptureArgs& cap) {
    // SIGINT and SIGTERM become a readable descriptor the poll loop watches.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    // A client that goes away mid-reply must not kill the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    if (stopFd < 0) {
        std::fprintf(stderr, "quillmark-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    SimTerminal terminal(me, faults, saveImage);
    std::unique_ptr<SimReplay> replay;
    if (!cap.strReplay.empty()) {
        replay = LoadReplay(cap.strReplay, cap.bReplayTiming);
        if (!replay)
            return EXIT_BAD_ARGS;
        std::printf("REPLAY %s %d\n", cap.strReplay.c_str(), replay->Requests());
    }
    CCaptureWriter capture;
    if (!cap.strCapture.empty()) {
        const int rc = capture.Open(cap.strCapture, CAPTURE_SIDE_TERMINAL, "quillmark-sim");
        if (rc != 0) {
            std::fprintf(stderr, "quillmark-sim: %s\n",
                         CaptureOpenFailedText(cap.strCapture, rc).c_str());
            return 1;
        }
    }
    SimServer server(replay ? static_cast<SimResponder&>(*replay) : terminal, stdout,
                     lines.nFrameTimeout, capture.IsOpen() ? &capture : nullptr);
    std::string ports;
    if (OpenLines(server, lines, ports) != 0)
        return 1;
    if (!lines.strPortFile.empty() && WriteWholeFile(lines.strPortFile, ports) != 0) {
        std::fprintf(stderr, "quillmark-sim: cannot write %s\n", lines.strPortFile.c_str());
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);

    const int rc = server.Run(stopFd, lines.nParentFd);
    close(stopFd);
    if (rc != 0) {
        std::fprintf(stderr, "quillmark-sim: poll: %s\n", std::strerror(-rc));
        return 1;
    }
    if (!lines.strCountsFile.empty() && WriteWholeFile(lines.strCountsFile, server.Counts()) != 0) {
        std::fprintf(stderr, "quillmark-sim: cannot write %s\n", lines.strCountsFile.c_str());
        return 1;
    }
    const int closed = capture.Close();
    if (closed != 0) {
        std::fprintf(stderr, "quillmark-sim: %s\n",
                     CaptureWriteFailedText(cap.strCapture, closed).c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"A reader terminal in software: answers request frames on a pseudo-terminal or "
                 "tty, TCP and UDP.",
                 "quillmark-sim"};
    app.footer(FOOTER);
    app.set_version_flag("--version", "quillmark-sim " QUILLMARK_VERSION);
    app.get_formatter()->column_width(34);

    LineArgs lines;
    TerminalArgs terminal;
    CaptureArgs capture;
    FaultArgs faults;
    AddLineOptions(app, lines);
    AddTerminalOptions(app, terminal);
    CLI::Option* replay = AddCaptureOptions(app, capture);
    AddFaultOptions(app, faults, replay);
    try {
        app.parse(argc, argv);
        if (lines.bNoTcp && lines.bNoUdp && !lines.bPty && lines.strDevice.empty())
            throw CLI::ValidationError("no line left to serve");
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : EXIT_BAD_ARGS;
    }
    return Serve(lines, ToIdentity(terminal), ToFaults(faults), terminal.strSaveImage, capture);
}
