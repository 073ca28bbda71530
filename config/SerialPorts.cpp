#include "config/SerialPorts.h"

#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

// "vendor model" of the USB device behind a tty, or empty.
std::string UsbDescription(udev_device* dev) {
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
    if (usb == nullptr)
        return {};
    std::string text;
    for (const char* attr : {"manufacturer", "product"}) {
        const char* v = udev_device_get_sysattr_value(usb, attr);
        if (v != nullptr && *v != '\0')
            text += (text.empty() ? "" : " ") + std::string(v);
    }
    return text;
}

// The name of the driver that serves the port: the first one above the tty
// that is not one of the kernel's generic serial-base parts ("port", "ctrl").
std::string DriverName(udev_device* dev) {
    for (udev_device* p = udev_device_get_parent(dev); p != nullptr;
         p = udev_device_get_parent(p)) {
        const char* subsystem = udev_device_get_subsystem(p);
        const char* driver = udev_device_get_driver(p);
        if (driver != nullptr &&
            (subsystem == nullptr || std::strcmp(subsystem, "serial-base") != 0))
            return driver;
    }
    return {};
}

// Dialogs take the port number from the first "(" of the friendly name.
std::string WithoutParentheses(std::string text) {
    std::replace(text.begin(), text.end(), '(', '[');
    std::replace(text.begin(), text.end(), ')', ']');
    return text;
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

    info = {};
    info.strDevicePath = path;
    info.strPortName = "COM" + std::to_string(number);
    info.bUsb =
        bUsbFamily || udev_device_get_parent_with_subsystem_devtype(dev, "usb", nullptr) != nullptr;
    std::string description = UsbDescription(dev);
    if (description.empty())
        description = DriverName(dev);
    if (description.empty())
        description = name;
    info.strDescription = WithoutParentheses(description);
    info.strFriendlyName = info.strDescription + " (" + info.strPortName + ")";
    return true;
}

std::string StepFailed(const char* step, long err) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed. (err=%lx)", step, static_cast<unsigned long>(err));
    return text;
}

// Lists the table's devices into found; on failure strError names the step.
int ListTableDevices(std::vector<std::pair<int, SerialPortInfo>>& found, std::string& strError) {
    udev* u = udev_new();
    if (u == nullptr) {
        strError = StepFailed("udev_new", errno);
        return -1;
    }
    udev_enumerate* e = udev_enumerate_new(u);
    int rc = 0;
    if (e == nullptr) {
        strError = StepFailed("udev_enumerate_new", errno);
    } else if ((rc = udev_enumerate_add_match_subsystem(e, "tty")) < 0) {
        strError = StepFailed("udev_enumerate_add_match_subsystem", -rc);
    } else if ((rc = udev_enumerate_scan_devices(e)) < 0) {
        strError = StepFailed("udev_enumerate_scan_devices", -rc);
    } else {
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
        return 0;
    }
    udev_enumerate_unref(e);
    udev_unref(u);
    return -1;
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

int ListSerialPorts(std::vector<SerialPortInfo>& ports, const std::vector<PortBinding>& bound,
                    std::string& strError) {
    ports.clear();
    strError.clear();
    std::vector<std::pair<int, SerialPortInfo>> found;
    const int rc = ListTableDevices(found, strError);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& f : found)
        ports.push_back(std::move(f.second));
    if (rc != 0)
        return rc;

    // Bound in this order, a binding replaces whatever its number opened before.
    for (const PortBinding& b : bound) {
        SerialPortInfo info;
        info.strDevicePath = b.strDevice;
        info.strPortName = "COM" + std::to_string(b.nNo);
        const auto listed = std::find_if(ports.begin(), ports.end(), [&](const SerialPortInfo& p) {
            return p.strPortName == info.strPortName;
        });
        if (listed != ports.end() && listed->strDevicePath == info.strDevicePath)
            continue;
        info.strFriendlyName = WithoutParentheses(b.strDevice) + " (" + info.strPortName + ")";
        if (listed != ports.end())
            *listed = std::move(info);
        else
            ports.push_back(std::move(info));
    }
    for (SerialPortInfo& p : ports)
        CompleteSerialPortInfo(p);
    return 0;
}

int ListSerialPorts(std::vector<SerialPortInfo>& ports) {
    std::string strError;
    return ListSerialPorts(ports, {}, strError);
}
