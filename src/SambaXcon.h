// Host side of the adapter's SAM-BA boot monitor, with its vendor commands.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "SerialPort.h"

class SambaError : public std::exception {
public:
    SambaError() = default;
    ~SambaError() override = default;
    const char* what() const noexcept override { return "SAM-BA operation failed"; }
};

// Chip identifier accepted by the last successful connect; 0 until then.
extern uint32_t chip_id;

class Samba {
public:
    Samba();
    Samba(const Samba&) = delete;
    Samba& operator=(const Samba&) = delete;
    virtual ~Samba();

    // Connection and identification. connect takes the port over: held on
    // success, closed and dropped on failure.
    bool connect(SerialPort::Ptr port, int bps = 115200);
    void disconnect();
    uint32_t chipId();
    void reset();

    // Memory access.
    void writeByte(uint32_t addr, uint8_t value);
    uint8_t readByte(uint32_t addr);
    void writeWord(uint32_t addr, uint32_t value);
    uint32_t readWord(uint32_t addr);
    void go(uint32_t addr);
    std::string version();

    // Block transfer: raw on USB ports, XMODEM-CRC on plain lines.
    void write(uint32_t addr, const uint8_t* buffer, int size);
    void read(uint32_t addr, uint8_t* buffer, int size);

    // Vendor extensions.
    bool chipErase(uint32_t start_addr, uint8_t clearEEPROMtoo);
    bool writeBuffer(uint32_t src_addr, uint32_t dst_addr, uint32_t size);
    uint32_t checksumBuffer(uint32_t start_addr, uint32_t size);
    bool eepromDump(uint32_t ee_size, uint8_t* ee_buf);
    bool initD();

    void setDebug(bool debug) { _debug = debug; }
    bool isConnected() const { return _port != nullptr; }

    // CRC-16/XMODEM over data, or over bytes 3..130 of a 133-byte block.
    static uint16_t crc16Calc(const uint8_t* data, int len);
    static bool crc16Check(const uint8_t* blk);
    static void crc16Add(uint8_t* blk);
    static uint16_t crc16AddByte(uint8_t data, uint16_t crc16);

private:
    // Read windows: the standing one between commands, the short one of the
    // handshake, the version query and the source step, and the long one of
    // the flash commands.
    static constexpr int WINDOW_MS = 1000;
    static constexpr int SHORT_WINDOW_MS = 100;
    static constexpr int LONG_WINDOW_MS = 5000;
    // However the bytes come, the drains and the version reply take no
    // longer than this: a line that never falls quiet is given up.
    static constexpr int READ_LIMIT_MS = 300;

    bool init();
    // The held port; throws when the client is not connected.
    SerialPort& port();
    // One port write of the whole command; any other count throws.
    void sendCommand(const char* text, int len);
    // Reads up to size reply bytes within windowMs, then restores the
    // standing 1000 ms window. Returns the count received (0 when none).
    int readReply(uint8_t* buffer, int size, int windowMs);
    // Reads up to size bytes, each within the current window, for at most
    // READ_LIMIT_MS; quiet tells whether it ended on a window without a byte.
    int readLimited(uint8_t* buffer, int size, bool& quiet);
    // Drops up to 1024 waiting bytes within the same limits.
    void drain();
    void writeBinary(const uint8_t* buffer, int size);
    void readBinary(uint8_t* buffer, int size);
    void writeXmodem(const uint8_t* buffer, int size);
    void readXmodem(uint8_t* buffer, int size);

    bool _extChipEraseAvailable;
    bool _extWriteBufferAvailable;
    bool _extChecksumBufferAvailable;
    bool _debug;
    bool _isUsb;
    SerialPort::Ptr _port;
};
