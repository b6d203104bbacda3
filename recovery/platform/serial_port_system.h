// The operating system's serial ports behind ISerialPort. One header; serial_port_win32.cpp or
// serial_port_posix.cpp is built.
//
// Names: on Windows the name goes to CreateFileA as given ("COM1"). On POSIX hosts a name starting
// with '/' is a device path; "COMn" (any case) stands for /dev/ttyS<n-1>.
//
// The POSIX adapter reproduces the Windows behaviour the engine relies on:
//  - exclusive open (TIOCEXCL and an advisory lock), never becoming the controlling terminal;
//  - line settings 9600..115200 bps, 5-8 data bits, none/odd/even parity, 1 or 2 stop bits,
//    RTS/CTS flow control (CRTSCTS), DTR; unsupported values are refused (EINVAL);
//  - the Win32 read time-out rule (serial_timeout_rule.h), enforced with poll();
//  - writes bounded by the write time-out: when it passes, Write returns false with ETIMEDOUT and
//    `written` counts the bytes the driver took;
//  - queue counts from FIONREAD and TIOCOUTQ; modem lines from TIOCMGET (a pseudo-terminal has
//    none, so GetModemStatus fails there).
// SetupQueues succeeds without changing anything (the kernel's buffers are fixed).
#pragma once

#include <memory>

#include "serial_port.h"

std::unique_ptr<ISerialPortFactory> MakeSystemSerialPortFactory();
