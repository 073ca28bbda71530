#include "config/ChannelSettings.h"

#include <charconv>
#include <cstring>

#include "comm/SerialPort.h"
#include "protocol/Channel.h"

namespace {

const char* const SECTIONS[] = {"Quillmark/COMPort", "Quillmark/Modem", "Quillmark/TCP",
                                "Quillmark/UDP"};
const char* const PORTS = "Quillmark/Ports";

const char* const PORT_NO = "PortNo";
const char* const BAUD_RATE = "BaudRate";
const char* const FIRST_CHAR = "FirstChar";
const char* const REV_TIME_OUT = "RevTimeOut";
const char* const ADDED_NO = "AddedNo";
const char* const CALLED_NO = "CalledNo";
const char* const IP = "IP";
const char* const PORT = "Port";

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
    return channel >= CH_SERIAL && channel <= CH_UDP ? SECTIONS[channel] : nullptr;
}

void ReadChannelSettings(CXmlConfig& config, ChannelSettings& settings) {
    config.SelectNode(SECTIONS[CH_TCP]);
    config.GetString(IP, settings.strTcpIp);
    config.GetInt(PORT, settings.nTcpPort);
    config.SelectNode(SECTIONS[CH_UDP]);
    config.GetString(IP, settings.strUdpIp);
    config.GetInt(PORT, settings.nUdpPort);
    config.SelectNode(SECTIONS[CH_SERIAL]);
    config.GetInt(PORT_NO, settings.nComPort);
    config.GetLong(BAUD_RATE, settings.nComBaud);
    config.SelectNode(SECTIONS[CH_MODEM]);
    config.GetInt(PORT_NO, settings.nModemPort);
    config.GetLong(BAUD_RATE, settings.nModemBaud);
    config.GetString(ADDED_NO, settings.strAddedNo);
    config.GetString(CALLED_NO, settings.strCalledNo);
}

void ReadChannelTimeouts(CXmlConfig& config, int channel, int& firstChar, int& revTimeOut) {
    if (const char* section = ChannelSection(channel))
        config.SelectNode(section);
    config.GetInt(FIRST_CHAR, firstChar);
    config.GetInt(REV_TIME_OUT, revTimeOut);
}

bool ReadSerialSection(CXmlConfig& config, int channel, SerialSection& values) {
    if (!IsSerial(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    config.GetString(PORT_NO, values.strPortNo);
    config.GetLong(BAUD_RATE, values.nBaudRate);
    config.GetInt(FIRST_CHAR, values.nFirstChar);
    config.GetInt(REV_TIME_OUT, values.nRevTimeOut);
    if (channel == CH_MODEM) {
        config.GetString(ADDED_NO, values.strAddedNo);
        config.GetString(CALLED_NO, values.strCalledNo);
    }
    return true;
}

bool WriteSerialSection(CXmlConfig& config, int channel, const SerialSection& values) {
    if (!IsSerial(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    bool ok = config.SetString(PORT_NO, values.strPortNo.c_str());
    ok = config.SetLong(BAUD_RATE, values.nBaudRate) && ok;
    ok = config.SetInt(FIRST_CHAR, values.nFirstChar) && ok;
    ok = config.SetInt(REV_TIME_OUT, values.nRevTimeOut) && ok;
    if (channel == CH_MODEM) {
        ok = config.SetString(ADDED_NO, values.strAddedNo.c_str()) && ok;
        ok = config.SetString(CALLED_NO, values.strCalledNo.c_str()) && ok;
    }
    return ok;
}

bool ReadNetSection(CXmlConfig& config, int channel, NetSection& values) {
    if (!IsNet(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    config.GetString(IP, values.strIp);
    config.GetString(PORT, values.strPort);
    config.GetInt(FIRST_CHAR, values.nFirstChar);
    config.GetInt(REV_TIME_OUT, values.nRevTimeOut);
    return true;
}

bool WriteNetSection(CXmlConfig& config, int channel, const NetSection& values) {
    if (!IsNet(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    bool ok = config.SetString(IP, values.strIp.c_str());
    ok = config.SetString(PORT, values.strPort.c_str()) && ok;
    ok = config.SetInt(FIRST_CHAR, values.nFirstChar) && ok;
    ok = config.SetInt(REV_TIME_OUT, values.nRevTimeOut) && ok;
    return ok;
}

namespace {

// A section's attributes in document order, as they stood before a write.
struct SectionSnapshot {
    bool bFound = false;
    std::vector<std::pair<std::string, std::string>> attributes;
};

SectionSnapshot TakeSectionSnapshot(CXmlConfig& config, int channel) {
    SectionSnapshot snapshot;
    const pugi::xml_node node = config.SelectNode(ChannelSection(channel));
    snapshot.bFound = static_cast<bool>(node);
    for (pugi::xml_attribute a : node.attributes())
        snapshot.attributes.emplace_back(a.name(), a.value());
    return snapshot;
}

void RestoreSectionSnapshot(CXmlConfig& config, int channel, const SectionSnapshot& snapshot) {
    pugi::xml_node node = config.SelectNode(ChannelSection(channel));
    if (!snapshot.bFound || !node)
        return;
    node.remove_attributes();
    for (const auto& [name, value] : snapshot.attributes)
        node.append_attribute(name.c_str()).set_value(value.c_str());
}

template <class Section>
int WriteAndSave(CXmlConfig& config, int channel, const Section& values,
                 bool (*write)(CXmlConfig&, int, const Section&)) {
    const SectionSnapshot before = TakeSectionSnapshot(config, channel);
    write(config, channel, values);
    if (config.Save())
        return SECTION_SAVED;
    RestoreSectionSnapshot(config, channel, before);
    return SECTION_SAVE_FAILED;
}

} // namespace

int SaveSerialSection(CXmlConfig& config, int channel, const SerialSection& values) {
    return IsSerial(channel) ? WriteAndSave(config, channel, values, WriteSerialSection)
                             : SECTION_WRONG_CHANNEL;
}

int SaveNetSection(CXmlConfig& config, int channel, const NetSection& values) {
    return IsNet(channel) ? WriteAndSave(config, channel, values, WriteNetSection)
                          : SECTION_WRONG_CHANNEL;
}

std::vector<PortBinding> ReadPortBindings(CXmlConfig& config) {
    std::vector<PortBinding> bindings;
    for (pugi::xml_node port : config.SelectNode(PORTS).children("Port")) {
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
