#pragma once

#include <string>
#include <vector>

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
// completed and sorted by COM number. Returns 0, or -1 when the device list
// cannot be read (ports then stays empty).
int ListSerialPorts(std::vector<SerialPortInfo>& ports);
