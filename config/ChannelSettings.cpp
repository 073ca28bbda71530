#include "config/ChannelSettings.h"

#include <charconv>
#include <cstring>
#include <span>
#include <type_traits>
#include <variant>

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

// One attribute of a section and the field of Record that holds it.
template <class Record> struct SectionKey {
    const char* name;
    std::variant<std::string Record::*, int Record::*, long Record::*> field;
};

template <class Record> using SectionKeys = std::span<const SectionKey<Record>>;

// The console's copy, section by section in the order it is read: the Modem
// section last, so that it stays selected.
const SectionKey<ChannelSettings> TCP_SETTINGS[] = {{IP, &ChannelSettings::strTcpIp},
                                                    {PORT, &ChannelSettings::nTcpPort}};
const SectionKey<ChannelSettings> UDP_SETTINGS[] = {{IP, &ChannelSettings::strUdpIp},
                                                    {PORT, &ChannelSettings::nUdpPort}};
const SectionKey<ChannelSettings> COM_SETTINGS[] = {{PORT_NO, &ChannelSettings::nComPort},
                                                    {BAUD_RATE, &ChannelSettings::nComBaud}};
const SectionKey<ChannelSettings> MODEM_SETTINGS[] = {
    {PORT_NO, &ChannelSettings::nModemPort},
    {BAUD_RATE, &ChannelSettings::nModemBaud},
    {ADDED_NO, &ChannelSettings::strAddedNo},
    {CALLED_NO, &ChannelSettings::strCalledNo},
};
const struct {
    int channel;
    SectionKeys<ChannelSettings> keys;
} CONSOLE_SECTIONS[] = {
    {CH_TCP, TCP_SETTINGS},
    {CH_UDP, UDP_SETTINGS},
    {CH_SERIAL, COM_SETTINGS},
    {CH_MODEM, MODEM_SETTINGS},
};

// The sections as the settings dialogs edit them, in document order.
const SectionKey<SerialSection> SERIAL_KEYS[] = {
    {PORT_NO, &SerialSection::strPortNo},
    {BAUD_RATE, &SerialSection::nBaudRate},
    {FIRST_CHAR, &SerialSection::nFirstChar},
    {REV_TIME_OUT, &SerialSection::nRevTimeOut},
    // The modem's only.
    {ADDED_NO, &SerialSection::strAddedNo},
    {CALLED_NO, &SerialSection::strCalledNo},
};
constexpr size_t MODEM_ONLY_KEYS = 2;
const SectionKey<NetSection> NET_KEYS[] = {
    {IP, &NetSection::strIp},
    {PORT, &NetSection::strPort},
    {FIRST_CHAR, &NetSection::nFirstChar},
    {REV_TIME_OUT, &NetSection::nRevTimeOut},
};

bool IsSerial(int channel) {
    return channel == CH_SERIAL || channel == CH_MODEM;
}

bool IsNet(int channel) {
    return channel == CH_TCP || channel == CH_UDP;
}

SectionKeys<SerialSection> SerialKeys(int channel) {
    const SectionKeys<SerialSection> keys(SERIAL_KEYS);
    return channel == CH_MODEM ? keys : keys.first(keys.size() - MODEM_ONLY_KEYS);
}

bool GetValue(const CXmlConfig& config, const char* name, std::string& value) {
    return config.GetString(name, value);
}

bool GetValue(const CXmlConfig& config, const char* name, int& value) {
    return config.GetInt(name, value);
}

bool GetValue(const CXmlConfig& config, const char* name, long& value) {
    return config.GetLong(name, value);
}

bool SetValue(CXmlConfig& config, const char* name, const std::string& value) {
    return config.SetString(name, value.c_str());
}

bool SetValue(CXmlConfig& config, const char* name, int value) {
    return config.SetInt(name, value);
}

bool SetValue(CXmlConfig& config, const char* name, long value) {
    return config.SetLong(name, value);
}

// Reads each key of the selected section into its field; a key that cannot
// be read leaves its field alone.
template <class Record>
void ReadKeys(const CXmlConfig& config, std::type_identity_t<SectionKeys<Record>> keys,
              Record& record) {
    for (const SectionKey<Record>& key : keys)
        std::visit([&](auto field) { GetValue(config, key.name, record.*field); }, key.field);
}

// Writes each key of the selected section, the rest also after one failed.
// Returns true when every key was written.
template <class Record>
bool WriteKeys(CXmlConfig& config, std::type_identity_t<SectionKeys<Record>> keys,
               const Record& record) {
    bool ok = true;
    for (const SectionKey<Record>& key : keys) {
        const auto set = [&](auto field) { return SetValue(config, key.name, record.*field); };
        ok = std::visit(set, key.field) && ok;
    }
    return ok;
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
    for (const auto& section : CONSOLE_SECTIONS) {
        config.SelectNode(SECTIONS[section.channel]);
        ReadKeys(config, section.keys, settings);
    }
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
    ReadKeys(config, SerialKeys(channel), values);
    return true;
}

bool WriteSerialSection(CXmlConfig& config, int channel, const SerialSection& values) {
    if (!IsSerial(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    return WriteKeys(config, SerialKeys(channel), values);
}

bool ReadNetSection(CXmlConfig& config, int channel, NetSection& values) {
    if (!IsNet(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    ReadKeys(config, NET_KEYS, values);
    return true;
}

bool WriteNetSection(CXmlConfig& config, int channel, const NetSection& values) {
    if (!IsNet(channel) || !config.SelectNode(ChannelSection(channel)))
        return false;
    return WriteKeys(config, NET_KEYS, values);
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
