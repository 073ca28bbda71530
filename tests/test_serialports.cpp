#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "comm/SerialPort.h"
#include "config/SerialPorts.h"

namespace {

TEST(SerialPortNumber, FollowsTheDriversTable) {
    const struct {
        const char* name;
        int number;
    } cases[] = {
        {"ttyS0", 1},     {"ttyS31", 32},  {"ttyS32", -1},   {"ttyUSB0", 33},  {"ttyUSB31", 64},
        {"ttyUSB32", -1}, {"ttyACM0", 65}, {"ttyACM31", 96}, {"ttyACM32", -1}, {"ttyS", -1},
        {"ttyS01", -1},   {"ttyS1x", -1},  {"ttyS100", -1},  {"tty0", -1},     {"ttyAMA0", -1},
        {"pts/3", -1},    {"", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SerialPortNumber(c.name), c.number) << c.name;
    EXPECT_EQ(SerialPortNumber(nullptr), -1);
}

// The listing names ports as the serial driver opens them, bindings included.
TEST(SerialPortNumber, FollowsExplicitBindings) {
    ASSERT_EQ(ComBindDevice(200, "/dev/ttyUSB3"), 0);
    ASSERT_EQ(ComBindDevice(7, "/dev/pts/5"), 0);
    EXPECT_EQ(SerialPortNumber("ttyUSB3"), 200);
    EXPECT_EQ(SerialPortNumber("pts/5"), 7);
    EXPECT_EQ(SerialPortNumber("ttyS6"), -1) << "COM7 now opens another device";
    ComBindDevice(200, "");
    ComBindDevice(7, "");
    EXPECT_EQ(SerialPortNumber("ttyUSB3"), 36);
    EXPECT_EQ(SerialPortNumber("ttyS6"), 7);
}

TEST(CompleteSerialPortInfo, FillsFriendlyNameAndDescription) {
    const struct {
        const char* portName;
        const char* friendly;
        const char* description;
        const char* wantFriendly;
        const char* wantDescription;
    } cases[] = {
        {"COM3", "", "", "COM3", "COM3"},
        {"COM5", "FT232R USB UART ttyUSB0 (COM5)", "", "FT232R USB UART ttyUSB0 (COM5)",
         "FT232R USB UART ttyUSB0"},
        // Parentheses in the middle: the description keeps the whole text.
        {"COM1", "Port (A) one", "", "Port (A) one", "Port (A) one"},
        // " (" at the very start is no suffix.
        {"COM2", " (COM2)", "", " (COM2)", " (COM2)"},
        {"COM4", "ttyS3 (COM4)", "kept", "ttyS3 (COM4)", "kept"},
    };
    for (const auto& c : cases) {
        SerialPortInfo info;
        info.strPortName = c.portName;
        info.strFriendlyName = c.friendly;
        info.strDescription = c.description;
        CompleteSerialPortInfo(info);
        EXPECT_EQ(info.strFriendlyName, c.wantFriendly) << c.friendly;
        EXPECT_EQ(info.strDescription, c.wantDescription) << c.friendly;
    }
}

// The machine's own ports: whatever they are, every record names an existing
// device of the table and the list is in COM order.
TEST(ListSerialPorts, ListsTableDevicesInComOrder) {
    std::vector<SerialPortInfo> ports(1);
    ASSERT_EQ(ListSerialPorts(ports), 0);
    int last = 0;
    for (const SerialPortInfo& p : ports) {
        const std::string tty = std::filesystem::path(p.strDevicePath).filename().string();
        const int n = SerialPortNumber(tty.c_str());
        ASSERT_GT(n, 0) << p.strDevicePath;
        EXPECT_GT(n, last) << p.strDevicePath;
        last = n;
        EXPECT_EQ(p.strPortName, "COM" + std::to_string(n));
        const std::string suffix = " (" + p.strPortName + ")";
        ASSERT_GE(p.strFriendlyName.size(), suffix.size());
        EXPECT_EQ(p.strFriendlyName.substr(p.strFriendlyName.size() - suffix.size()), suffix);
        EXPECT_FALSE(p.strDescription.empty());
        if (tty.rfind("ttyS", 0) != 0) {
            EXPECT_TRUE(p.bUsb) << p.strDevicePath;
        }
        EXPECT_TRUE(std::filesystem::exists(p.strDevicePath)) << p.strDevicePath;
    }
}

} // namespace
