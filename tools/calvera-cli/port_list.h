// The serial ports of this machine for calvera-cli --list-ports, found through sysfs alone: no
// device is opened. /dev/ttyS* count only when the kernel knows a UART behind them (its "type" in
// sysfs is not 0), /dev/ttyUSB* and /dev/ttyACM* always; USB ports carry the description the
// system has for their device (vendor:product, manufacturer, product, serial number).
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
  std::string device;       // "/dev/ttyUSB0"
  std::string description;  // "0403:6001 FTDI FT232R USB UART serial A1B2C3", or "" (none known)
};

// devRoot "/dev" and sysRoot "/sys" on a real machine; other roots are for tests. Sorted by kind
// (ttyS, ttyUSB, ttyACM) and then by number.
std::vector<SerialPortInfo> ListSerialPorts(const std::string& devRoot = "/dev", const std::string& sysRoot = "/sys");
