#pragma once

#include <string>
#include <vector>

#include "config/ChannelSettings.h"

// The serial ports of the machine, as the settings dialogs list them.
struct SerialPortInfo {
    std::string strDevicePath;   // the tty device, such as /dev/ttyUSB0
    std::string strPortName;     // "COM%d", the number the serial driver opens
    std::string strFriendlyName; // what the user sees, ending in " (COMn)"
    bool bUsb = false;           // the port belongs to a USB device
    std::string strDescription;  // after completion never empty
};

// The COM number that opens /dev/ttyName, asked of the serial driver's table
// with its explicit bindings (by default ttyS0-31 COM1-32, ttyUSB0-31
// COM33-64, ttyACM0-31 COM65-96); -1 for any other name.
int SerialPortNumber(const char* ttyName);

// Completes a record: an empty friendly name becomes the port name; an empty
// description becomes the friendly name without a trailing " (...)" suffix.
void CompleteSerialPortInfo(SerialPortInfo& info);

// Empties ports and fills it with the tty devices that are real serial ports
// of the default table (a bound driver; ttyS only with a known UART type),
// sorted by COM number, then the devices of bound in their order. Each COM
// number is listed once, with the device that opens it once the bindings
// are made in that order: a binding takes the place of the entry listed
// under its number unless it names the same device. Every record completed.
// A device's friendly name is "DESCRIPTION (COMn)", the description being
// the USB vendor and model where known, else the driver's name, with "("
// and ")" replaced; a bound device shows its path as description. Returns 0, or -1
// with strError naming the step that failed, such as
// "udev_enumerate_scan_devices failed. (err=2)"; the records listed before
// the failure stay, not completed.
int ListSerialPorts(std::vector<SerialPortInfo>& ports, const std::vector<PortBinding>& bound,
                    std::string& strError);

// The machine's own ports only; the reason of a failure is dropped.
int ListSerialPorts(std::vector<SerialPortInfo>& ports);
