// The subcommands that need no channel: checksum, frame, DES and the port list.
#include <cstdio>
#include <vector>

#include "cli/CliCommands.h"
#include "cli/CliText.h"
#include "config/SerialPorts.h"
#include "protocol/DisplayText.h"
#include "protocol/Frame.h"
#include "tools/Des.h"

int RunCrc(const std::string& hex) {
    const std::vector<uint8_t> bytes = HexArgBytes(hex);
    std::printf("%04X\n", Crc16(static_cast<int>(bytes.size()), bytes.data()));
    return 0;
}

int RunFrame(int machine, const std::string& cmd, const std::string& data) {
    const std::vector<uint8_t> bytes = HexArgBytes(data);
    const int len = static_cast<int>(bytes.size());
    uint8_t frame[FRAME_MAX_REQUEST];
    const int n =
        BuildFrame(static_cast<uint8_t>(machine), HexArgBytes(cmd)[0], bytes.data(), len, frame);
    if (n < 0)
        return 1;
    PrintText(TerminalText(FormatSent(frame, n)));
    return 0;
}

int RunDes(bool bTriple, bool bDecrypt, const std::string& key, const std::string& data) {
    const std::vector<uint8_t> k = HexArgBytes(key);
    const std::vector<uint8_t> in = HexArgBytes(data);
    uint8_t out[8];
    CDes des;
    const char mode = bDecrypt ? '1' : '0';
    const unsigned char* done = bTriple ? des.RunTripleDes(k.data(), in.data(), out, mode)
                                        : des.RunDes(k.data(), in.data(), out, mode);
    if (done == nullptr)
        return 1;
    char hex[17] = {};
    BytesToHex(out, hex, 8);
    std::printf("%s\n", hex);
    return 0;
}

int RunPorts() {
    std::vector<SerialPortInfo> ports;
    if (ListSerialPorts(ports) != 0) {
        std::fprintf(stderr, "quillmark-cli: cannot read the device list\n");
        return 1;
    }
    if (ports.empty()) {
        std::fprintf(stderr, "系统中不存在可用的串口!\n");
        return 1;
    }
    for (const SerialPortInfo& p : ports)
        std::printf("%s\n", p.strFriendlyName.c_str());
    return 0;
}
