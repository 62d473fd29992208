// Turns the port's open() arguments into a termios record.
#pragma once

#include <termios.h>

#include "SerialPort.h"

struct LineSettings {
    termios tio{};
    // On macOS the speed is not in tio; it goes through IOSSIOSPEED after
    // tcsetattr. 0 when tio carries it.
    speed_t ioctlSpeed = 0;
};

// Raw 8-bit-clean line, no flow control, receiver on, modem lines ignored,
// based on the terminal's current record. False for a speed, size, parity or
// stop setting the line cannot do.
bool makeLineSettings(const termios& current, int baud, int data, SerialPort::Parity parity,
                      SerialPort::StopBit stop, LineSettings& out);
