// XMODEM-CRC block transfers of the simulated monitor on a UART link.
#include <algorithm>

#include "SimAdapter.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t START_CRC = 'C';
constexpr uint32_t DATA_SIZE = 128;
constexpr size_t BLOCK_SIZE = 3 + DATA_SIZE + 2;

// Bit by bit rather than by table, so that it stays an independent check
// of the host's table-driven CRC.
uint16_t crc16(const uint8_t* data, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc = static_cast<uint16_t>(crc ^ data[i] << 8);
        for (int bit = 0; bit < 8; bit++)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

}  // namespace

void SimAdapter::startXmodemReceive(uint32_t addr, uint32_t size)
{
    _mode = Mode::XmodemReceive;
    _xferAddr = addr;
    _xferLeft = size;
    _blockNumber = 1;
    _block.clear();
    _faultsGiven = 0;
    reply(std::string(1, static_cast<char>(START_CRC)));
}

void SimAdapter::startXmodemSend(uint32_t addr, uint32_t size)
{
    _mode = Mode::XmodemSend;
    _xferAddr = addr;
    _xferLeft = size;
    _blockNumber = 1;
    _faultsGiven = 0;
    _wrongReadMask = takeWrongRead(addr, size);
    if (size == 0) {
        // Nothing to send: the end comes without waiting for the start.
        _sendState = SendState::WaitEotAck;
        reply(std::string(1, static_cast<char>(EOT)));
    } else {
        _sendState = SendState::WaitStart;
    }
}

// A byte that belongs to no transfer means the host gave up; a printable
// one starts its next command.
void SimAdapter::endTransfer(uint8_t b)
{
    _mode = Mode::Command;
    _block.clear();
    if (b >= 0x20 && b < 0x7F)
        handleByte(b);
}

void SimAdapter::xmodemReceiveByte(uint8_t b)
{
    if (_block.empty()) {
        if (b == SOH) {
            _block.push_back(b);
        } else if (b == EOT) {
            send(&ACK, 1);
            _mode = Mode::Command;
        } else {
            endTransfer(b);
        }
        return;
    }
    _block.push_back(b);
    if (_block.size() == BLOCK_SIZE)
        xmodemBlockIn();
}

void SimAdapter::xmodemBlockIn()
{
    const uint8_t* blk = _block.data();
    uint16_t crc = static_cast<uint16_t>(blk[131] << 8 | blk[132]);
    bool intact = blk[2] == static_cast<uint8_t>(~blk[1]) && crc16(blk + 3, DATA_SIZE) == crc;

    if (intact && blk[1] == _blockNumber) {
        if (faults.nakBlock == _blocksIn + 1 && _faultsGiven < faults.nakTimes) {
            _faultsGiven++;
            send(&NAK, 1);
        } else {
            uint32_t n = std::min(_xferLeft, DATA_SIZE);
            for (uint32_t i = 0; i < n; i++)
                writeMem8(_xferAddr + i, blk[3 + i]);
            _xferAddr += n;
            _xferLeft -= n;
            _blockNumber++;
            _blocksIn++;
            _faultsGiven = 0;
            send(&ACK, 1);
        }
    } else if (intact && blk[1] == static_cast<uint8_t>(_blockNumber - 1)) {
        // Our ACK was lost and the host sent the block again: it is stored.
        send(&ACK, 1);
    } else {
        send(&NAK, 1);
    }
    _block.clear();
}

void SimAdapter::xmodemSendByte(uint8_t b)
{
    switch (_sendState) {
    case SendState::WaitStart:
        if (b == START_CRC) {
            _sendState = SendState::WaitAck;
            xmodemBlockOut();
            return;
        }
        break;
    case SendState::WaitAck:
        if (b == ACK) {
            uint32_t n = std::min(_xferLeft, DATA_SIZE);
            _xferAddr += n;
            _xferLeft -= n;
            _blockNumber++;
            _blocksOut++;
            _faultsGiven = 0;
            if (_xferLeft == 0) {
                _sendState = SendState::WaitEotAck;
                send(&EOT, 1);
            } else {
                xmodemBlockOut();
            }
            return;
        }
        // The receiver asks for the first block again with "C".
        if (b == NAK || (b == START_CRC && _blockNumber == 1)) {
            xmodemBlockOut();
            return;
        }
        break;
    case SendState::WaitEotAck:
        if (b == ACK) {
            _mode = Mode::Command;
            return;
        }
        if (b == NAK) {
            send(&EOT, 1);
            return;
        }
        break;
    }
    endTransfer(b);
}

void SimAdapter::xmodemBlockOut()
{
    uint8_t blk[BLOCK_SIZE];
    blk[0] = SOH;
    blk[1] = _blockNumber;
    blk[2] = static_cast<uint8_t>(~_blockNumber);
    for (uint32_t i = 0; i < DATA_SIZE; i++)
        blk[3 + i] = i < _xferLeft ? readMem8(_xferAddr + i) : 0;
    if (_wrongReadMask && faults.wrongReadAddr - _xferAddr < std::min(DATA_SIZE, _xferLeft))
        blk[3 + faults.wrongReadAddr - _xferAddr] ^= _wrongReadMask;
    uint16_t crc = crc16(blk + 3, DATA_SIZE);
    blk[131] = static_cast<uint8_t>(crc >> 8);
    blk[132] = static_cast<uint8_t>(crc);
    if (faults.corruptBlock == _blocksOut + 1 && _faultsGiven < faults.corruptTimes) {
        _faultsGiven++;
        blk[132] ^= 0xFF;
    }
    send(blk, BLOCK_SIZE);
}
