// quillmark-cli: the engine from a shell. Offline helpers (checksum, frame,
// DES, port list) and runs against a terminal over serial, TCP or UDP.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliText.h"
#include "cli/ScriptParse.h"
#include "cli/ScriptRun.h"
#include "comm/SerialPort.h"
#include "protocol/Diagnostics.h"
#include "protocol/Frame.h"
#include "protocol/Limits.h"

namespace {

// A device path that is no slot of the serial driver's table is bound to
// this COM number, which the table leaves free.
constexpr int CLI_DEVICE_PORT = 0;

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
            return s.size() == 2 && HexArgError(s).empty() ? "" : "请输入2位合法的16进制字符!!!";
        },
        "");
}

bool ParseDecimal(const std::string& s, int maxValue, int& value) {
    if (s.empty() || s.size() > 7 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoi(s);
    return value <= maxValue;
}

bool IsDottedIpv4(const std::string& s) {
    int parts = 0;
    size_t start = 0;
    for (;;) {
        const size_t dot = s.find('.', start);
        const std::string part =
            s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        int value = 0;
        // A leading zero reads as octal to some parsers and is refused by others.
        if (part.size() > 3 || (part.size() > 1 && part[0] == '0') ||
            !ParseDecimal(part, 255, value))
            return false;
        ++parts;
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    return parts == 4;
}

bool ParseEndpoint(const std::string& s, std::string& addr, int& port) {
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos)
        return false;
    addr = s.substr(0, colon);
    return IsDottedIpv4(addr) && ParseDecimal(s.substr(colon + 1), 65535, port) && port > 0;
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
    int nFirstChar = 1000;
    int nInterChar = 1000;
    std::string strCapture;
};

void AddChannelOptions(CLI::App* sub, ChannelArgs& a, int defaultTimeout) {
    a.nFirstChar = defaultTimeout;
    a.nInterChar = defaultTimeout;
    auto* line = sub->add_option_group("Channel", "The line to the terminal");
    const auto endpoint = CLI::Validator(
        [](std::string& s) -> std::string {
            std::string addr;
            int port = 0;
            return ParseEndpoint(s, addr, port) ? "" : "expected ADDR:PORT, got " + s;
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

    sub->add_option("--baud", a.nBaud,
                    "Serial line speed: 1200 2400 4800 9600 19200 28800 57600 115200 921600")
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
                return IsDottedIpv4(s) ? "" : "expected a dotted IPv4 address, got " + s;
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
    ParseEndpoint(chan.nChannel == CH_TCP ? a.strTcp : a.strUdp, chan.strAddress, chan.nPort);
    chan.strUdpLocal = a.strUdpLocal;
    return chan;
}

void AddFrameOptions(CLI::App* sub, int& machine, std::string& cmd, std::string& data) {
    sub->add_option("--machine", machine, "Machine number, 0-255")
        ->type_name("N")
        ->required()
        ->check(CLI::Range(0, 255));
    sub->add_option("--cmd", cmd, "Command byte, two hex digits")
        ->type_name("HH")
        ->required()
        ->check(CommandByte());
    sub->add_option("--data", data, "Data bytes as hex digits (at most 288 bytes)")
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

    std::string crcHex;
    auto* crc = app.add_subcommand("crc", "Print the CRC-16 of hex bytes as four hex digits");
    crc->add_option("HEX", crcHex, "Bytes as hex digits")->required()->check(HexText(0, 1 << 20));

    int frameMachine = 0;
    std::string frameCmd;
    std::string frameData;
    auto* frame = app.add_subcommand("frame", "Print a request frame as hex cells");
    AddFrameOptions(frame, frameMachine, frameCmd, frameData);

    std::string desMode;
    std::string desKey;
    std::string desData;
    const auto addDes = [&](const char* name, const char* help, int keyBytes) {
        auto* sub = app.add_subcommand(name, help);
        sub->add_option("MODE", desMode, "enc or dec")
            ->required()
            ->check(CLI::IsMember({"enc", "dec"}));
        sub->add_option("--key", desKey, "Key as hex digits")
            ->type_name(keyBytes == 8 ? "HEX16" : "HEX32")
            ->required()
            ->check(HexText(keyBytes, keyBytes));
        sub->add_option("--data", desData, "One 8-byte block as hex digits")
            ->type_name("HEX16")
            ->required()
            ->check(HexText(8, 8));
        return sub;
    };
    auto* des = addDes("des", "Encrypt or decrypt one block with DES", 8);
    auto* des3 = addDes("3des", "Encrypt or decrypt one block with two-key triple DES", 16);

    auto* ports = app.add_subcommand("ports", "List the serial ports as the settings dialogs do");

    std::string showFile;
    auto* show = app.add_subcommand(
        "show", "Print a capture file: time, direction and the bytes of every packet");
    show->add_option("FILE", showFile, "The capture (pcapng)")->required();

    ChannelArgs channel;
    int exMachine = 0;
    std::string exCmd;
    std::string exData;
    auto* exchange = app.add_subcommand(
        "exchange", "Send a request frame and show it, the reply and the receive status");
    AddFrameOptions(exchange, exMachine, exCmd, exData);
    AddChannelOptions(exchange, channel, 1000);

    std::string diagWhich;
    auto* diag = app.add_subcommand("diag", "Run a diagnostic command and show its verdict");
    diag->add_option("COMMAND", diagWhich, "version, reader-id, power-on or power-off")
        ->required()
        ->check(CLI::IsMember(
            std::vector<std::string>(CLI_DIAG_NAMES, CLI_DIAG_NAMES + CLI_DIAG_COUNT)));
    AddChannelOptions(diag, channel, 1000);

    RawOptions raw;
    std::string rawHex;
    std::string rawText;
    auto* rawCmd =
        app.add_subcommand("raw", "Send bytes without a frame and show what arrives as a raw dump");
    auto* hexOpt = rawCmd->add_option("--hex", rawHex, "Bytes as hex digits")
                       ->type_name("HEX")
                       ->check(HexText(0, CLI_BUFFER_SIZE));
    auto* textOpt = rawCmd->add_option("--text", rawText, "The bytes of a text")->type_name("TEXT");
    hexOpt->excludes(textOpt);
    rawCmd->add_flag("--cr", raw.bCr, "Append a carriage return (0D)");
    rawCmd->add_flag("--no-receive", raw.bNoReceive, "Send only");
    AddChannelOptions(rawCmd, channel, 1000);

    PubArgs pubArgs;
    auto* pub = app.add_subcommand("pub", "Run one of the terminal's management commands");
    pub->require_subcommand(1);
    CLI::App* pubCommands[PUB_COMMAND_COUNT];
    for (int i = 0; i < PUB_COMMAND_COUNT; ++i)
        pubCommands[i] = AddPubCommand(pub, i, pubArgs, channel);

    std::string downloadFile;
    int downloadMachine = 0;
    auto* download = app.add_subcommand("download", "Download a program image to a terminal");
    download->add_option("FILE", downloadFile, "The image (.bin), at most 61440 bytes")->required();
    download->add_option("--machine", downloadMachine, "Machine number, 1-255")
        ->type_name("N")
        ->required()
        ->check(CLI::Range(1, 255));
    AddChannelOptions(download, channel, 1000);

    std::string scriptPath;
    RunOptions runOpt;
    auto* run = app.add_subcommand(
        "run", "Run a test script (TOML): judge every reply, report like a test runner");
    run->add_option("SCRIPT", scriptPath, "The script file")->required();
    run->add_option("--junit", runOpt.strJUnitPath, "Also write the results as JUnit XML")
        ->type_name("FILE");
    run->add_flag("--stop-on-fail", runOpt.bStopOnFail, "Stop at the first failed step");
    AddChannelOptions(run, channel, 1000);
    run->footer("Exit status: 0 every step passed, 1 a step failed (or the channel did not "
                "open), 2 a bad script or bad arguments. --first-char and --inter-char apply "
                "where the script's [defaults] sets no time-out.");

    PubInput pubInput;
    try {
        app.parse(argc, argv);
        if (rawCmd->parsed()) {
            raw.bSend = hexOpt->count() > 0 || textOpt->count() > 0;
            raw.bHex = hexOpt->count() > 0;
            raw.strData = raw.bHex ? rawHex : rawText;
            if (!raw.bSend && raw.bNoReceive)
                throw CLI::ValidationError("--no-receive", "needs --hex or --text");
            if (raw.bCr && !raw.bSend)
                throw CLI::ValidationError("--cr", "needs --hex or --text");
            const size_t len = (raw.bHex ? rawHex.size() / 2 : rawText.size()) + raw.bCr;
            if (len > static_cast<size_t>(CLI_BUFFER_SIZE))
                throw CLI::ValidationError("--text",
                                           "at most " + std::to_string(CLI_BUFFER_SIZE) + " bytes");
        }
        for (int i = 0; i < PUB_COMMAND_COUNT; ++i) {
            if (!pubCommands[i]->parsed())
                continue;
            pubInput.nCommand = i;
            pubInput.strId = UpperAscii(pubArgs.strId);
            pubInput.strLowId = UpperAscii(pubArgs.strLowId);
            pubInput.nMachineNo = pubArgs.nMachineNo;
            pubInput.nRate = RateIndex(pubArgs.strRate);
            PubRequest req;
            const int rc = BuildPubRequest(pubInput, req);
            if (rc != PUB_INPUT_OK)
                throw CLI::ValidationError(PubInputMessage(rc).text);
        }
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : CLI_EXIT_BAD_ARGS;
    }

    if (crc->parsed())
        return RunCrc(crcHex);
    if (frame->parsed())
        return RunFrame(frameMachine, frameCmd, frameData);
    if (des->parsed() || des3->parsed())
        return RunDes(des3->parsed(), desMode == "dec", desKey, desData);
    if (ports->parsed())
        return RunPorts();
    if (show->parsed())
        return RunShow(showFile);
    const ChannelSpec chan = ToSpec(channel);
    const auto captured = [&](const std::string& what, const auto& fn) {
        return RunCaptured(chan, channel.strCapture, what, fn);
    };
    if (exchange->parsed())
        return captured("exchange", [&](const ChannelSpec& c) {
            return RunExchange(c, exMachine, exCmd, exData);
        });
    if (diag->parsed()) {
        int cmd = 0;
        while (cmd + 1 < CLI_DIAG_COUNT && diagWhich != CLI_DIAG_NAMES[cmd])
            ++cmd;
        return captured("diag " + diagWhich, [&](const ChannelSpec& c) { return RunDiag(c, cmd); });
    }
    if (rawCmd->parsed())
        return captured("raw", [&](const ChannelSpec& c) { return RunRaw(c, raw); });
    if (pub->parsed())
        return captured(std::string("pub ") + CLI_PUB_NAMES[pubInput.nCommand],
                        [&](const ChannelSpec& c) { return RunPub(c, pubInput); });
    if (download->parsed())
        return captured("download", [&](const ChannelSpec& c) {
            return RunDownload(c, downloadFile, downloadMachine);
        });
    if (run->parsed()) {
        Script script;
        script.nFirstChar = chan.nFirstChar;
        script.nInterChar = chan.nInterChar;
        std::string error;
        if (!LoadScript(scriptPath, script, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return CLI_EXIT_BAD_ARGS;
        }
        runOpt.strSuiteName = std::filesystem::path(scriptPath).filename().string();
        // --capture names the file over the script's own capture.
        const std::string capturePath =
            channel.strCapture.empty() ? script.strCapturePath : channel.strCapture;
        return RunCaptured(chan, capturePath, "run " + runOpt.strSuiteName,
                           [&](const ChannelSpec& c) { return RunScript(c, script, runOpt); });
    }
    return CLI_EXIT_BAD_ARGS;
}
