// Block transfer: raw bytes on USB ports, XMODEM-CRC on plain serial lines.
#include <cstdio>
#include <cstring>

#include "SambaXcon.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t START_CRC = 'C';

constexpr int XMODEM_DATA = 128;
constexpr int XMODEM_BLOCK = 3 + XMODEM_DATA + 2;
constexpr int XMODEM_TRIES = 5;

// CRC-16/XMODEM: polynomial 0x1021, initial 0, not reflected, no final XOR.
struct Crc16Table {
    uint16_t entry[256];
    constexpr Crc16Table() : entry()
    {
        for (int i = 0; i < 256; i++) {
            uint16_t crc = static_cast<uint16_t>(i << 8);
            for (int bit = 0; bit < 8; bit++)
                crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
            entry[i] = crc;
        }
    }
};

constexpr Crc16Table crc16Table;

bool isPowerOfTwo(int n) { return n > 0 && (n & (n - 1)) == 0; }

}  // namespace

uint16_t Samba::crc16AddByte(uint8_t data, uint16_t crc16)
{
    return static_cast<uint16_t>((crc16 << 8) ^ crc16Table.entry[((crc16 >> 8) ^ data) & 0xFF]);
}

uint16_t Samba::crc16Calc(const uint8_t* data, int len)
{
    uint16_t crc = 0;
    for (int i = 0; i < len; i++)
        crc = crc16AddByte(data[i], crc);
    return crc;
}

bool Samba::crc16Check(const uint8_t* blk)
{
    uint16_t crc = crc16Calc(blk + 3, XMODEM_DATA);
    return blk[131] == (crc >> 8) && blk[132] == (crc & 0xFF);
}

void Samba::crc16Add(uint8_t* blk)
{
    uint16_t crc = crc16Calc(blk + 3, XMODEM_DATA);
    blk[131] = static_cast<uint8_t>(crc >> 8);
    blk[132] = static_cast<uint8_t>(crc & 0xFF);
}

void Samba::write(uint32_t addr, const uint8_t* buffer, int size)
{
    if (_debug)
        printf("%s(addr=%#x,size=%#x)\n", "write", static_cast<unsigned>(addr),
               static_cast<unsigned>(size));
    // A negative size would go out as a transfer of some four billion bytes.
    if (size < 0)
        throw SambaError();
    char cmd[24];
    int len = snprintf(cmd, sizeof(cmd), "S%08X,%08X#", static_cast<unsigned>(addr),
                       static_cast<unsigned>(size));
    sendCommand(cmd, len);
    if (_isUsb) {
        if (!port().flush())
            throw SambaError();
        writeBinary(buffer, size);
    } else {
        writeXmodem(buffer, size);
    }
}

void Samba::read(uint32_t addr, uint8_t* buffer, int size)
{
    if (_debug)
        printf("%s(addr=%#x,size=%#x)\n", "read", static_cast<unsigned>(addr),
               static_cast<unsigned>(size));
    if (size < 0)
        throw SambaError();
    // A raw reply of whole 64-byte USB packets would need a closing empty
    // packet that the monitor does not send; powers of two above 32 are
    // such lengths, so their first byte comes alone.
    if (_isUsb && size > 32 && isPowerOfTwo(size)) {
        buffer[0] = readByte(addr);
        addr++;
        buffer++;
        size--;
    }
    char cmd[24];
    int len = snprintf(cmd, sizeof(cmd), "R%08X,%08X#", static_cast<unsigned>(addr),
                       static_cast<unsigned>(size));
    sendCommand(cmd, len);
    if (_isUsb)
        readBinary(buffer, size);
    else
        readXmodem(buffer, size);
}

void Samba::writeBinary(const uint8_t* buffer, int size)
{
    while (size > 0) {
        int sent = port().write(buffer, size);
        if (sent <= 0)
            throw SambaError();
        if (sent > size)
            sent = size;
        buffer += sent;
        size -= sent;
    }
}

void Samba::readBinary(uint8_t* buffer, int size)
{
    if (port().read(buffer, size) != size)
        throw SambaError();
}

void Samba::writeXmodem(const uint8_t* buffer, int size)
{
    SerialPort& p = port();

    int tries = 0;
    while (p.get() != START_CRC) {
        if (++tries == XMODEM_TRIES)
            throw SambaError();
    }

    uint8_t blk[XMODEM_BLOCK];
    for (unsigned number = 1; size > 0; number++) {
        int chunk = size < XMODEM_DATA ? size : XMODEM_DATA;
        blk[0] = SOH;
        blk[1] = static_cast<uint8_t>(number);
        blk[2] = static_cast<uint8_t>(0xFF - blk[1]);
        memcpy(blk + 3, buffer, static_cast<size_t>(chunk));
        memset(blk + 3 + chunk, 0, static_cast<size_t>(XMODEM_DATA - chunk));
        crc16Add(blk);

        bool acked = false;
        for (int send = 0; send < XMODEM_TRIES && !acked; send++) {
            if (p.write(blk, XMODEM_BLOCK) != XMODEM_BLOCK)
                throw SambaError();
            acked = p.get() == ACK;
        }
        if (!acked)
            throw SambaError();
        buffer += chunk;
        size -= chunk;
    }

    for (int send = 0; send < XMODEM_TRIES; send++) {
        p.put(EOT);
        if (p.get() == ACK)
            return;
    }
    throw SambaError();
}

void Samba::readXmodem(uint8_t* buffer, int size)
{
    SerialPort& p = port();

    uint8_t blk[XMODEM_BLOCK];
    for (unsigned number = 1; size > 0; number++) {
        bool received = false;
        for (int attempt = 0; attempt < XMODEM_TRIES && !received; attempt++) {
            if (number == 1)
                p.put(START_CRC);
            received = p.read(blk, XMODEM_BLOCK) == XMODEM_BLOCK && blk[0] == SOH &&
                       blk[1] == static_cast<uint8_t>(number) && crc16Check(blk);
            if (!received && number != 1)
                p.put(NAK);
        }
        if (!received)
            throw SambaError();
        p.put(ACK);
        int chunk = size < XMODEM_DATA ? size : XMODEM_DATA;
        memcpy(buffer, blk + 3, static_cast<size_t>(chunk));
        buffer += chunk;
        size -= chunk;
    }

    for (int attempt = 0; attempt < XMODEM_TRIES; attempt++) {
        if (p.get() == EOT) {
            p.put(ACK);
            return;
        }
        p.put(NAK);
    }
    throw SambaError();
}
