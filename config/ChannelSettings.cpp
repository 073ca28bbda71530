#include "config/ChannelSettings.h"

#include <charconv>
#include <cstring>

#include "comm/CommJob.h"
#include "comm/SerialPort.h"

namespace {

const char* const kSections[] = {"Quillmark/COMPort", "Quillmark/Modem", "Quillmark/TCP",
                                 "Quillmark/UDP"};
const char* const kPorts = "Quillmark/Ports";

const char* const kPortNo = "PortNo";
const char* const kBaudRate = "BaudRate";
const char* const kFirstChar = "FirstChar";
const char* const kRevTimeOut = "RevTimeOut";
const char* const kAddedNo = "AddedNo";
const char* const kCalledNo = "CalledNo";
const char* const kIp = "IP";
const char* const kPort = "Port";

bool IsSerial(int channel) {
    return channel == CH_SERIAL || channel == CH_MODEM;
}

bool IsNet(int channel) {
    return channel == CH_TCP || channel == CH_UDP;
}

// A whole decimal number in 0..255, as the COM name table takes it.
bool ParsePortNumber(const char* text, int& n) {
    const char* end = text + std::strlen(text);
    int value = -1;
    auto [p, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || p != end || value < 0 || value >= COM_PORT_COUNT)
        return false;
    n = value;
    return true;
}

} // namespace

const char* ChannelSection(int channel) {
    return channel >= CH_SERIAL && channel <= CH_UDP ? kSections[channel] : nullptr;
}

void ReadChannelSettings(CXmlConfig& config, ChannelSettings& settings) {
    config.SelectNode(kSections[CH_TCP]);
    config.GetString(kIp, settings.strTcpIp);
    config.GetInt(kPort, settings.nTcpPort);
    config.SelectNode(kSections[CH_UDP]);
    config.GetString(kIp, settings.strUdpIp);
    config.GetInt(kPort, settings.nUdpPort);
    config.SelectNode(kSections[CH_SERIAL]);
    config.GetInt(kPortNo, settings.nComPort);
    config.GetLong(kBaudRate, settings.nComBaud);
    config.SelectNode(kSections[CH_MODEM]);
    config.GetInt(kPortNo, settings.nModemPort);
    config.GetLong(kBaudRate, settings.nModemBaud);
    config.GetString(kAddedNo, settings.strAddedNo);
    config.GetString(kCalledNo, settings.strCalledNo);
}

void ReadChannelTimeouts(CXmlConfig& config, int channel, int& firstChar, int& revTimeOut) {
    if (const char* section = ChannelSection(channel))
        config.SelectNode(section);
    config.GetInt(kFirstChar, firstChar);
    config.GetInt(kRevTimeOut, revTimeOut);
}

bool ReadSerialSection(CXmlConfig& config, int channel, SerialSection& values) {
    if (!IsSerial(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    config.GetString(kPortNo, values.strPortNo);
    config.GetLong(kBaudRate, values.nBaudRate);
    config.GetInt(kFirstChar, values.nFirstChar);
    config.GetInt(kRevTimeOut, values.nRevTimeOut);
    if (channel == CH_MODEM) {
        config.GetString(kAddedNo, values.strAddedNo);
        config.GetString(kCalledNo, values.strCalledNo);
    }
    return true;
}

bool WriteSerialSection(CXmlConfig& config, int channel, const SerialSection& values) {
    if (!IsSerial(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    bool ok = config.SetString(kPortNo, values.strPortNo.c_str());
    ok = config.SetLong(kBaudRate, values.nBaudRate) && ok;
    ok = config.SetInt(kFirstChar, values.nFirstChar) && ok;
    ok = config.SetInt(kRevTimeOut, values.nRevTimeOut) && ok;
    if (channel == CH_MODEM) {
        ok = config.SetString(kAddedNo, values.strAddedNo.c_str()) && ok;
        ok = config.SetString(kCalledNo, values.strCalledNo.c_str()) && ok;
    }
    return ok;
}

bool ReadNetSection(CXmlConfig& config, int channel, NetSection& values) {
    if (!IsNet(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    config.GetString(kIp, values.strIp);
    config.GetString(kPort, values.strPort);
    config.GetInt(kFirstChar, values.nFirstChar);
    config.GetInt(kRevTimeOut, values.nRevTimeOut);
    return true;
}

bool WriteNetSection(CXmlConfig& config, int channel, const NetSection& values) {
    if (!IsNet(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    bool ok = config.SetString(kIp, values.strIp.c_str());
    ok = config.SetString(kPort, values.strPort.c_str()) && ok;
    ok = config.SetInt(kFirstChar, values.nFirstChar) && ok;
    ok = config.SetInt(kRevTimeOut, values.nRevTimeOut) && ok;
    return ok;
}

SectionSnapshot TakeSectionSnapshot(CXmlConfig& config, int channel) {
    SectionSnapshot snapshot;
    snapshot.nChannel = channel;
    const char* section = ChannelSection(channel);
    pugi::xml_node node = section != nullptr ? config.SelectNode(section) : pugi::xml_node();
    snapshot.bFound = static_cast<bool>(node);
    for (pugi::xml_attribute a : node.attributes())
        snapshot.attributes.emplace_back(a.name(), a.value());
    return snapshot;
}

void RestoreSectionSnapshot(CXmlConfig& config, const SectionSnapshot& snapshot) {
    const char* section = ChannelSection(snapshot.nChannel);
    if (!snapshot.bFound || section == nullptr)
        return;
    pugi::xml_node node = config.SelectNode(section);
    if (!node)
        return;
    node.remove_attributes();
    for (const auto& [name, value] : snapshot.attributes)
        node.append_attribute(name.c_str()).set_value(value.c_str());
}

std::vector<PortBinding> ReadPortBindings(CXmlConfig& config) {
    std::vector<PortBinding> bindings;
    for (pugi::xml_node port : config.SelectNode(kPorts).children("Port")) {
        PortBinding b;
        const char* device = port.attribute("Device").as_string();
        if (*device == '\0' || !ParsePortNumber(port.attribute("No").as_string(), b.nNo))
            continue;
        b.strDevice = device;
        bindings.push_back(std::move(b));
    }
    return bindings;
}

int BindConfiguredPorts(CXmlConfig& config) {
    int bound = 0;
    for (const PortBinding& b : ReadPortBindings(config))
        if (ComBindDevice(b.nNo, b.strDevice.c_str()) == 0)
            ++bound;
    return bound;
}
