#pragma once

#include <string>
#include <vector>

#include "config/XmlConfig.h"

// The channel settings of config.xml: the four sections COMPort, Modem, TCP and UDP (indexed
// by ChannelKind) and the optional Ports element. The section and key names live here only.

// The console's copy of the settings. Fields whose key cannot be read keep their value.
struct ChannelSettings {
    int nComPort = 1;
    long nComBaud = 19200;
    int nModemPort = 2;
    long nModemBaud = 19200;
    std::string strAddedNo;
    std::string strCalledNo;
    std::string strTcpIp;
    int nTcpPort = 0;
    std::string strUdpIp;
    int nUdpPort = 0;
};

// The serial or modem section as its settings dialog edits it; AddedNo and CalledNo belong to
// the modem only.
struct SerialSection {
    std::string strPortNo;
    long nBaudRate = 0;
    int nFirstChar = 1000;
    int nRevTimeOut = 1000;
    std::string strAddedNo;
    std::string strCalledNo;
};

// The TCP or UDP section as its settings dialog edits it.
struct NetSection {
    std::string strIp;
    std::string strPort;
    int nFirstChar = 0;
    int nRevTimeOut = 0;
};

// One <Port No="n" Device="path"/> of the Ports element.
struct PortBinding {
    int nNo = -1;
    std::string strDevice;
};

// The section path of a channel ("Quillmark/COMPort", ...); nullptr outside 0..3.
const char* ChannelSection(int channel);

// Reads TCP IP and Port, UDP IP and Port, COMPort PortNo and BaudRate, Modem PortNo, BaudRate,
// AddedNo and CalledNo, in this order. The Modem section stays selected.
void ReadChannelSettings(CXmlConfig& config, ChannelSettings& settings);

// Selects the section of channel (another value keeps the section selected last) and reads
// FirstChar and RevTimeOut; a key that cannot be read keeps its value.
void ReadChannelTimeouts(CXmlConfig& config, int channel, int& firstChar, int& revTimeOut);

// Selects the section of CH_SERIAL or CH_MODEM and reads PortNo, BaudRate, FirstChar, RevTimeOut
// and, for the modem, AddedNo and CalledNo. Returns false for another channel or a missing section.
bool ReadSerialSection(CXmlConfig& config, int channel, SerialSection& values);

// Selects the section and writes PortNo, BaudRate, FirstChar, RevTimeOut and, for the modem,
// AddedNo and CalledNo, in this order. Returns false when nothing could be written.
bool WriteSerialSection(CXmlConfig& config, int channel, const SerialSection& values);

// As above for CH_TCP or CH_UDP: IP, Port, FirstChar, RevTimeOut.
bool ReadNetSection(CXmlConfig& config, int channel, NetSection& values);
bool WriteNetSection(CXmlConfig& config, int channel, const NetSection& values);

// Results of SaveSerialSection and SaveNetSection.
constexpr int SECTION_SAVED = 0;
constexpr int SECTION_WRONG_CHANNEL = -1; // not a channel of that section kind; nothing written
constexpr int SECTION_SAVE_FAILED = -2;   // config.xml not written; the section rolled back

// What a settings dialog's OK does: writes values into the section of channel as
// WriteSerialSection or WriteNetSection does and saves config.xml to the remembered path. A
// missing section takes no value and the rest is still saved. When the save fails, the section
// gets back exactly the attributes it held before, so the store keeps matching the file.
// Returns SECTION_SAVED, SECTION_WRONG_CHANNEL or SECTION_SAVE_FAILED.
int SaveSerialSection(CXmlConfig& config, int channel, const SerialSection& values);
int SaveNetSection(CXmlConfig& config, int channel, const NetSection& values);

// The bindings of the Ports element, e.g. <Ports><Port No="200" Device="/dev/pts/3"/></Ports>,
// in document order. A Port whose No is not a number 0..255 or whose Device is empty is
// skipped. Selects the Ports element.
std::vector<PortBinding> ReadPortBindings(CXmlConfig& config);

// Hands every binding of the Ports element to the serial driver's COM name table. Returns how
// many were bound.
int BindConfiguredPorts(CXmlConfig& config);
