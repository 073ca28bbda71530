#include "config/SerialPorts.h"

#include <libudev.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/SerialPort.h"

namespace {

bool IsUsbFamily(const char* ttyName) {
    return std::strncmp(ttyName, "ttyUSB", 6) == 0 || std::strncmp(ttyName, "ttyACM", 6) == 0;
}

// A ttyS device exists for every slot the 8250 driver reserves; only a port
// whose UART type was recognised (type not 0) is real.
bool HasKnownUartType(udev_device* dev) {
    const char* type = udev_device_get_sysattr_value(dev, "type");
    return type != nullptr && std::atoi(type) != 0;
}

// Builds the record of one tty device; false when it is no serial port of the table.
bool ReadPort(udev_device* dev, SerialPortInfo& info, int& number) {
    const char* name = udev_device_get_sysname(dev);
    const char* node = udev_device_get_devnode(dev);
    if (name == nullptr)
        return false;
    const std::string path = node != nullptr ? node : std::string("/dev/") + name;
    number = ComNumberOfDevice(path.c_str());
    if (number < 0)
        return false;
    udev_device* parent = udev_device_get_parent(dev);
    if (parent == nullptr || udev_device_get_driver(parent) == nullptr)
        return false;
    const bool bUsbFamily = IsUsbFamily(name);
    if (!bUsbFamily && !HasKnownUartType(dev))
        return false;

    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
    const char* product = usb != nullptr ? udev_device_get_sysattr_value(usb, "product") : nullptr;
    info = {};
    info.strDevicePath = path;
    info.strPortName = "COM" + std::to_string(number);
    info.bUsb = bUsbFamily || usb != nullptr;
    std::string base = product != nullptr && *product != '\0' ? std::string(product) + " " : "";
    info.strFriendlyName = base + name + " (" + info.strPortName + ")";
    CompleteSerialPortInfo(info);
    return true;
}

} // namespace

int SerialPortNumber(const char* ttyName) {
    if (ttyName == nullptr || *ttyName == '\0')
        return -1;
    return ComNumberOfDevice((std::string("/dev/") + ttyName).c_str());
}

void CompleteSerialPortInfo(SerialPortInfo& info) {
    if (info.strFriendlyName.empty())
        info.strFriendlyName = info.strPortName;
    if (!info.strDescription.empty())
        return;
    info.strDescription = info.strFriendlyName;
    const size_t open = info.strDescription.find(" (");
    const size_t close = info.strDescription.find(')');
    if (open != std::string::npos && open > 0 && close == info.strDescription.size() - 1)
        info.strDescription.resize(open);
}

int ListSerialPorts(std::vector<SerialPortInfo>& ports) {
    ports.clear();
    udev* u = udev_new();
    if (u == nullptr)
        return -1;
    udev_enumerate* e = udev_enumerate_new(u);
    if (e == nullptr || udev_enumerate_add_match_subsystem(e, "tty") < 0 ||
        udev_enumerate_scan_devices(e) < 0) {
        udev_enumerate_unref(e);
        udev_unref(u);
        return -1;
    }
    std::vector<std::pair<int, SerialPortInfo>> found;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        udev_device* dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
        if (dev == nullptr)
            continue;
        SerialPortInfo info;
        int number = -1;
        if (ReadPort(dev, info, number))
            found.emplace_back(number, std::move(info));
        udev_device_unref(dev);
    }
    udev_enumerate_unref(e);
    udev_unref(u);

    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& f : found)
        ports.push_back(std::move(f.second));
    return 0;
}
