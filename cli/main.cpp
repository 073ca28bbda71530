// quillmark-cli: the engine from a shell. Offline helpers (checksum, frame,
// DES, port list) and runs against a terminal over serial, TCP or UDP.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliText.h"
#include "cli/ScriptParse.h"
#include "cli/ScriptRun.h"
#include "comm/NetAddress.h"
#include "comm/SerialPort.h"
#include "protocol/Diagnostics.h"
#include "protocol/Frame.h"
#include "protocol/Limits.h"
#include "protocol/SendPanel.h"

namespace {

// A device path that is no slot of the serial driver's table is bound to
// this COM number, which the table leaves free.
constexpr int CLI_DEVICE_PORT = 0;

// Both time-outs of a run on a channel unless its options say otherwise.
constexpr int DEFAULT_TIMEOUT_MS = 1000;

CLI::Validator HexText(int minBytes, int maxBytes) {
    return CLI::Validator(
        [minBytes, maxBytes](std::string& s) -> std::string {
            std::string err = HexArgError(s);
            if (!err.empty())
                return err;
            const int bytes = static_cast<int>(s.size() / 2);
            if (bytes < minBytes || bytes > maxBytes) {
                if (minBytes == maxBytes)
                    return "expected " + std::to_string(minBytes * 2) + " hex digits, got " +
                           std::to_string(s.size());
                return "expected " + std::to_string(minBytes * 2) + " to " +
                       std::to_string(maxBytes * 2) + " hex digits, got " +
                       std::to_string(s.size());
            }
            return {};
        },
        "");
}

// The command byte: two hex digits, as the console's 命令字(HEX) field.
CLI::Validator CommandByte() {
    return CLI::Validator(
        [](std::string& s) -> std::string {
            return s.size() == 2 && HexArgError(s).empty() ? "" : SEND_BAD_COMMAND_TEXT;
        },
        "");
}

bool ParseDecimal(const std::string& s, int maxValue, int& value) {
    if (s.empty() || s.size() > 7 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoi(s);
    return value <= maxValue;
}

// A terminal's ADDR:PORT: the port of a peer is never 0.
bool ParsePeer(const std::string& s, std::string& addr, int& port) {
    return ParseEndpoint(s, addr, port) && port > 0;
}

// The serial speeds, slowest first, as the --baud help lists them.
std::string BaudList() {
    std::vector<int> rates(std::begin(COM_BAUD_RATES), std::end(COM_BAUD_RATES));
    std::sort(rates.begin(), rates.end());
    std::string text;
    for (int rate : rates)
        text += (text.empty() ? "" : " ") + std::to_string(rate);
    return text;
}

// "COMn" (any case) gives n; anything else is a device path.
bool ParseComName(const std::string& s, int& n) {
    return s.size() > 3 && UpperAscii(s.substr(0, 3)) == "COM" &&
           ParseDecimal(s.substr(3), COM_PORT_COUNT - 1, n) && n > 0;
}

struct ChannelArgs {
    std::string strSerial;
    long nBaud = 19200;
    std::string strTcp;
    std::string strUdp;
    std::string strUdpLocal;
    int nFirstChar = DEFAULT_TIMEOUT_MS;
    int nInterChar = DEFAULT_TIMEOUT_MS;
    std::string strCapture;
};

void AddChannelOptions(CLI::App* sub, ChannelArgs& a, int defaultTimeout = DEFAULT_TIMEOUT_MS) {
    a.nFirstChar = defaultTimeout;
    a.nInterChar = defaultTimeout;
    auto* line = sub->add_option_group("Channel", "The line to the terminal");
    const auto endpoint = CLI::Validator(
        [](std::string& s) -> std::string {
            std::string addr;
            int port = 0;
            return ParsePeer(s, addr, port) ? "" : "expected ADDR:PORT, got " + s;
        },
        "");
    auto* serial =
        line->add_option("--serial", a.strSerial, "Serial port: COMn or a tty device path")
            ->type_name("COMn|DEVICE")
            ->check(CLI::Validator(
                [](std::string& s) -> std::string {
                    int n = 0;
                    if (ParseComName(s, n) || s.find('/') != std::string::npos)
                        return {};
                    return "expected COM1-COM255 or a device path, got " + s;
                },
                ""));
    line->add_option("--tcp", a.strTcp, "TCP peer, dotted IPv4 address and port")
        ->type_name("ADDR:PORT")
        ->check(endpoint);
    auto* udp = line->add_option("--udp", a.strUdp, "UDP peer, dotted IPv4 address and port")
                    ->type_name("ADDR:PORT")
                    ->check(endpoint);
    line->require_option(1);

    sub->add_option("--baud", a.nBaud, "Serial line speed: " + BaudList())
        ->type_name("N")
        ->capture_default_str()
        ->needs(serial)
        ->check(CLI::Validator(
            [](std::string& s) -> std::string {
                int rate = 0;
                if (ParseDecimal(s, 1000000, rate) && ComBaudRate(ComBaudIndex(rate)) == rate)
                    return {};
                return "unsupported speed " + s;
            },
            ""));
    sub->add_option("--udp-local", a.strUdpLocal,
                    "Bind this local address instead of the first Ethernet adapter's")
        ->type_name("ADDR")
        ->needs(udp)
        ->check(CLI::Validator(
            [](std::string& s) -> std::string {
                uint32_t ip = 0;
                return ParseIpv4(s, ip) ? "" : "expected a dotted IPv4 address, got " + s;
            },
            ""));
    sub->add_option("--first-char", a.nFirstChar, "First-character time-out")
        ->type_name("MS")
        ->capture_default_str()
        ->check(CLI::Range(FIRST_CHAR_MIN_MS, FIRST_CHAR_MAX_MS));
    sub->add_option("--inter-char", a.nInterChar, "Inter-character time-out")
        ->type_name("MS")
        ->capture_default_str()
        ->check(CLI::Range(INTER_CHAR_MIN_MS, INTER_CHAR_MAX_MS));
    sub->add_option("--capture", a.strCapture,
                    "Record every byte sent and received, with its time, to FILE (pcapng, for "
                    "Wireshark, show and quillmark-sim --replay)")
        ->type_name("FILE");
}

ChannelSpec ToSpec(const ChannelArgs& a) {
    ChannelSpec chan;
    chan.nFirstChar = a.nFirstChar;
    chan.nInterChar = a.nInterChar;
    if (!a.strSerial.empty()) {
        chan.nChannel = CH_SERIAL;
        chan.nBaudIndex = ComBaudIndex(a.nBaud);
        if (ParseComName(a.strSerial, chan.nComPort))
            return chan;
        // A device of the driver's table keeps its own number.
        chan.nComPort = CLI_DEVICE_PORT;
        for (int n = 1; n < COM_PORT_COUNT; ++n) {
            if (ComDevicePath(n) == a.strSerial) {
                chan.nComPort = n;
                return chan;
            }
        }
        chan.strDevice = a.strSerial;
        return chan;
    }
    chan.nChannel = a.strTcp.empty() ? CH_UDP : CH_TCP;
    ParsePeer(chan.nChannel == CH_TCP ? a.strTcp : a.strUdp, chan.strAddress, chan.nPort);
    chan.strUdpLocal = a.strUdpLocal;
    return chan;
}

// Runs fn on the channel a names, its traffic recorded when --capture asks.
int OnChannel(const ChannelArgs& a, const std::string& what,
              const std::function<int(const ChannelSpec&)>& fn) {
    return RunCaptured(ToSpec(a), a.strCapture, what, fn);
}

struct FrameArgs {
    int nMachine = 0;
    std::string strCmd;
    std::string strData;
};

void AddFrameOptions(CLI::App* sub, FrameArgs& f) {
    sub->add_option("--machine", f.nMachine, "Machine number, 0-255")
        ->type_name("N")
        ->required()
        ->check(CLI::Range(0, 255));
    sub->add_option("--cmd", f.strCmd, "Command byte, two hex digits")
        ->type_name("HH")
        ->required()
        ->check(CommandByte());
    sub->add_option("--data", f.strData, "Data bytes as hex digits (at most 288 bytes)")
        ->type_name("HEX")
        ->check(HexText(0, FRAME_MAX_DATA));
}

struct PubArgs {
    std::string strId;
    std::string strLowId;
    int nMachineNo = 255;
    std::string strRate;
};

const std::vector<std::string>& RateNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (int i = 0; i < PUB_RATE_COUNT; ++i)
            v.emplace_back(PubRateName(i));
        return v;
    }();
    return names;
}

CLI::App* AddPubCommand(CLI::App* pub, int index, PubArgs& p, ChannelArgs& ch) {
    auto* sub = pub->add_subcommand(CLI_PUB_NAMES[index], PubCommandName(index));
    AddChannelOptions(sub, ch, PUB_TIMEOUT_MS);
    // The dialog's fields take any text; its own checks judge them.
    if (index == PUB_SET_ID || index == PUB_SET_MACHINE_BY_ID)
        sub->add_option("--id", p.strId, "ID号(HEX): the device ID, 8 hex digits")
            ->type_name("HEX8")
            ->required();
    if (index == PUB_QUERY_BY_LOW_ID)
        sub->add_option("--low-id", p.strLowId, "低位ID号: the ID's low byte, 2 hex digits")
            ->type_name("HH")
            ->required();
    if (index == PUB_SET_MACHINE_BY_ID)
        sub->add_option("--machine", p.nMachineNo, "设备机号: the new machine number, 1-255")
            ->type_name("N")
            ->required();
    if (index >= PUB_READ_TYPE)
        sub->add_option("--machine", p.nMachineNo, "设备机号: the terminal's machine number")
            ->type_name("N")
            ->capture_default_str();
    if (index == PUB_SET_RATE)
        sub->add_option("--rate", p.strRate, "通信波特率: the new rate")
            ->type_name("BAUD")
            ->required()
            ->check(CLI::IsMember(RateNames()));
    return sub;
}

int RateIndex(const std::string& name) {
    for (int i = 0; i < PUB_RATE_COUNT; ++i)
        if (name == PubRateName(i))
            return i;
    return -1;
}

// A subcommand and what follows once the command line has been read. Each
// Add... function below adds one and keeps its options' values.
struct Command {
    CLI::App* sub = nullptr;
    // Judges what the options alone cannot; throws CLI::ValidationError.
    std::function<void()> check;
    std::function<int()> run;
};

Command AddCrc(CLI::App& app) {
    auto hex = std::make_shared<std::string>();
    auto* sub = app.add_subcommand("crc", "Print the CRC-16 of hex bytes as four hex digits");
    sub->add_option("HEX", *hex, "Bytes as hex digits")->required()->check(HexText(0, 1 << 20));
    return {sub, {}, [hex] { return RunCrc(*hex); }};
}

Command AddFrame(CLI::App& app) {
    auto f = std::make_shared<FrameArgs>();
    auto* sub = app.add_subcommand("frame", "Print a request frame as hex cells");
    AddFrameOptions(sub, *f);
    return {sub, {}, [f] { return RunFrame(f->nMachine, f->strCmd, f->strData); }};
}

Command AddDes(CLI::App& app, const char* name, const char* help, bool bTriple) {
    struct Args {
        std::string strMode;
        std::string strKey;
        std::string strData;
    };
    auto a = std::make_shared<Args>();
    const int keyBytes = bTriple ? 16 : 8;
    auto* sub = app.add_subcommand(name, help);
    sub->add_option("MODE", a->strMode, "enc or dec")
        ->required()
        ->check(CLI::IsMember({"enc", "dec"}));
    sub->add_option("--key", a->strKey, "Key as hex digits")
        ->type_name(bTriple ? "HEX32" : "HEX16")
        ->required()
        ->check(HexText(keyBytes, keyBytes));
    sub->add_option("--data", a->strData, "One 8-byte block as hex digits")
        ->type_name("HEX16")
        ->required()
        ->check(HexText(8, 8));
    return {sub, {}, [a, bTriple] {
                return RunDes(bTriple, a->strMode == "dec", a->strKey, a->strData);
            }};
}

Command AddPorts(CLI::App& app) {
    auto* sub = app.add_subcommand("ports", "List the serial ports as the settings dialogs do");
    return {sub, {}, [] { return RunPorts(); }};
}

Command AddShow(CLI::App& app) {
    auto file = std::make_shared<std::string>();
    auto* sub = app.add_subcommand(
        "show", "Print a capture file: time, direction and the bytes of every packet");
    sub->add_option("FILE", *file, "The capture (pcapng)")->required();
    return {sub, {}, [file] { return RunShow(*file); }};
}

Command AddExchange(CLI::App& app) {
    struct Args {
        FrameArgs frame;
        ChannelArgs channel;
    };
    auto a = std::make_shared<Args>();
    auto* sub = app.add_subcommand(
        "exchange", "Send a request frame and show it, the reply and the receive status");
    AddFrameOptions(sub, a->frame);
    AddChannelOptions(sub, a->channel);
    return {sub, {}, [a] {
                return OnChannel(a->channel, "exchange", [&](const ChannelSpec& c) {
                    return RunExchange(c, a->frame.nMachine, a->frame.strCmd, a->frame.strData);
                });
            }};
}

Command AddDiag(CLI::App& app) {
    struct Args {
        std::string strWhich;
        ChannelArgs channel;
    };
    auto a = std::make_shared<Args>();
    auto* sub = app.add_subcommand("diag", "Run a diagnostic command and show its verdict");
    sub->add_option("COMMAND", a->strWhich, "version, reader-id, power-on or power-off")
        ->required()
        ->check(CLI::IsMember(
            std::vector<std::string>(CLI_DIAG_NAMES, CLI_DIAG_NAMES + CLI_DIAG_COUNT)));
    AddChannelOptions(sub, a->channel);
    return {sub, {}, [a] {
                int cmd = 0;
                while (cmd + 1 < CLI_DIAG_COUNT && a->strWhich != CLI_DIAG_NAMES[cmd])
                    ++cmd;
                return OnChannel(a->channel, "diag " + a->strWhich,
                                 [&](const ChannelSpec& c) { return RunDiag(c, cmd); });
            }};
}

Command AddRaw(CLI::App& app) {
    struct Args {
        RawOptions raw;
        std::string strHex;
        std::string strText;
        ChannelArgs channel;
    };
    auto a = std::make_shared<Args>();
    auto* sub =
        app.add_subcommand("raw", "Send bytes without a frame and show what arrives as a raw dump");
    auto* hexOpt = sub->add_option("--hex", a->strHex, "Bytes as hex digits")
                       ->type_name("HEX")
                       ->check(HexText(0, CLI_BUFFER_SIZE));
    auto* textOpt = sub->add_option("--text", a->strText, "The bytes of a text")->type_name("TEXT");
    hexOpt->excludes(textOpt);
    sub->add_flag("--cr", a->raw.bCr, "Append a carriage return (0D)");
    sub->add_flag("--no-receive", a->raw.bNoReceive, "Send only");
    AddChannelOptions(sub, a->channel);
    const auto check = [a, hexOpt, textOpt] {
        RawOptions& raw = a->raw;
        raw.bSend = hexOpt->count() > 0 || textOpt->count() > 0;
        raw.bHex = hexOpt->count() > 0;
        raw.strData = raw.bHex ? a->strHex : a->strText;
        if (!raw.bSend && raw.bNoReceive)
            throw CLI::ValidationError("--no-receive", "needs --hex or --text");
        if (raw.bCr && !raw.bSend)
            throw CLI::ValidationError("--cr", "needs --hex or --text");
        const size_t len = (raw.bHex ? a->strHex.size() / 2 : a->strText.size()) + raw.bCr;
        if (len > static_cast<size_t>(CLI_BUFFER_SIZE))
            throw CLI::ValidationError("--text",
                                       "at most " + std::to_string(CLI_BUFFER_SIZE) + " bytes");
    };
    return {sub, check, [a] {
                return OnChannel(a->channel, "raw",
                                 [&](const ChannelSpec& c) { return RunRaw(c, a->raw); });
            }};
}

Command AddPub(CLI::App& app) {
    struct Args {
        PubArgs pub;
        ChannelArgs channel;
        PubInput input;
    };
    auto a = std::make_shared<Args>();
    auto* sub = app.add_subcommand("pub", "Run one of the terminal's management commands");
    sub->require_subcommand(1);
    std::vector<CLI::App*> commands;
    for (int i = 0; i < PUB_COMMAND_COUNT; ++i)
        commands.push_back(AddPubCommand(sub, i, a->pub, a->channel));
    const auto check = [a, commands] {
        for (int i = 0; i < PUB_COMMAND_COUNT; ++i) {
            if (!commands[i]->parsed())
                continue;
            PubInput& in = a->input;
            in.nCommand = i;
            in.strId = UpperAscii(a->pub.strId);
            in.strLowId = UpperAscii(a->pub.strLowId);
            in.nMachineNo = a->pub.nMachineNo;
            in.nRate = RateIndex(a->pub.strRate);
            PubRequest req;
            const int rc = BuildPubRequest(in, req);
            if (rc != PUB_INPUT_OK)
                throw CLI::ValidationError(PubInputMessage(rc).text);
        }
    };
    return {sub, check, [a] {
                return OnChannel(a->channel, std::string("pub ") + CLI_PUB_NAMES[a->input.nCommand],
                                 [&](const ChannelSpec& c) { return RunPub(c, a->input); });
            }};
}

Command AddDownload(CLI::App& app) {
    struct Args {
        std::string strFile;
        int nMachine = 0;
        ChannelArgs channel;
    };
    auto a = std::make_shared<Args>();
    auto* sub = app.add_subcommand("download", "Download a program image to a terminal");
    sub->add_option("FILE", a->strFile, "The image (.bin), at most 61440 bytes")->required();
    sub->add_option("--machine", a->nMachine, "Machine number, 1-255")
        ->type_name("N")
        ->required()
        ->check(CLI::Range(1, 255));
    AddChannelOptions(sub, a->channel);
    return {sub, {}, [a] {
                return OnChannel(a->channel, "download", [&](const ChannelSpec& c) {
                    return RunDownload(c, a->strFile, a->nMachine);
                });
            }};
}

// Reads the script at path and runs it on the channel; the channel's
// time-outs stand where the script sets none. Returns the run's status, or
// 2 for a script that cannot be read.
int RunScriptFile(const std::string& path, RunOptions opt, const ChannelArgs& channel) {
    Script script;
    script.nFirstChar = channel.nFirstChar;
    script.nInterChar = channel.nInterChar;
    std::string error;
    if (!LoadScript(path, script, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return CLI_EXIT_BAD_ARGS;
    }
    opt.strSuiteName = std::filesystem::path(path).filename().string();
    // --capture names the file over the script's own capture.
    const std::string capturePath =
        channel.strCapture.empty() ? script.strCapturePath : channel.strCapture;
    return RunCaptured(ToSpec(channel), capturePath, "run " + opt.strSuiteName,
                       [&](const ChannelSpec& c) { return RunScript(c, script, opt); });
}

Command AddRun(CLI::App& app) {
    struct Args {
        std::string strScript;
        RunOptions opt;
        ChannelArgs channel;
    };
    auto a = std::make_shared<Args>();
    auto* sub = app.add_subcommand(
        "run", "Run a test script (TOML): judge every reply, report like a test runner");
    sub->add_option("SCRIPT", a->strScript, "The script file")->required();
    sub->add_option("--junit", a->opt.strJUnitPath, "Also write the results as JUnit XML")
        ->type_name("FILE");
    sub->add_flag("--stop-on-fail", a->opt.bStopOnFail, "Stop at the first failed step");
    AddChannelOptions(sub, a->channel);
    sub->footer("Exit status: 0 every step passed, 1 a step failed (or the channel did not "
                "open), 2 a bad script or bad arguments. --first-char and --inter-char apply "
                "where the script's [defaults] sets no time-out.");
    return {sub, {}, [a] { return RunScriptFile(a->strScript, a->opt, a->channel); }};
}

} // namespace

int main(int argc, char** argv) {
    // A terminal that closes its connection must not end the tool mid-send.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"Reader terminal console from a shell: frames, checksums and DES offline; "
                 "exchanges, diagnostics, raw bytes, public commands and downloads over a serial "
                 "port, TCP or UDP.",
                 "quillmark-cli"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "quillmark-cli " QUILLMARK_VERSION);
    app.footer("Exit status: 0 success, 1 failure (no reply frame, failed download, channel "
               "not open, a failed script step), 2 bad arguments or a bad script.");
    // In the order the help lists them.
    const Command commands[] = {
        AddCrc(app),
        AddFrame(app),
        AddDes(app, "des", "Encrypt or decrypt one block with DES", false),
        AddDes(app, "3des", "Encrypt or decrypt one block with two-key triple DES", true),
        AddPorts(app),
        AddShow(app),
        AddExchange(app),
        AddDiag(app),
        AddRaw(app),
        AddPub(app),
        AddDownload(app),
        AddRun(app),
    };

    try {
        app.parse(argc, argv);
        for (const Command& c : commands)
            if (c.sub->parsed() && c.check)
                c.check();
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : CLI_EXIT_BAD_ARGS;
    }
    for (const Command& c : commands)
        if (c.sub->parsed())
            return c.run();
    return CLI_EXIT_BAD_ARGS;
}
