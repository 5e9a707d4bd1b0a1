#pragma once

#include "device/d2xx_device.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lorvent {

// Where the serial port backend looks for the bus device.
struct TSerialPortSearch {
    // Colon-separated list of port paths; when it names one, it wins.
    std::string envVar = "LORVENT_SERIAL";
    // Tried in order when the variable names no path; within one pattern the
    // matches are taken in natural order (ttyUSB2 before ttyUSB10). First the
    // stable link that the packages' udev rule gives the reader's adapter.
    std::vector<std::string> patterns = {"/dev/lorvent-reader", "/dev/serial/by-id/*FTDI*",
                                         "/dev/ttyUSB*"};
};

// The path of device `deviceIndex` as it is now, or nothing. Only index 0
// exists: the first path of the variable, else the first match of the patterns.
std::optional<std::string> FindSerialPort(int deviceIndex, const TSerialPortSearch& search);

// The bus device as a termios serial port, found anew at every FT_Open.
std::unique_ptr<TD2xxDevice> MakeSerialPortDevice(TSerialPortSearch search);

} // namespace lorvent
