// The simulated adapter: device memory and the boot monitor that answers
// the host over one serial link. It does no I/O and keeps no clock of its
// own: the caller hands it the bytes the host sent and the link time, and
// takes back the reply bytes that are ready by then. The same engine serves
// in-process tests (virtual clock) and a pseudo-terminal server (real clock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "Checksum.h"
#include "Device.h"

enum class SimLink {
    Usb,   // raw block transfers; the line speed is irrelevant
    Uart,  // deaf until the auto-baud bytes; XMODEM-CRC block transfers
};

struct SimOptions {
    uint32_t chipId = device::CHIP_256K;       // CHIP_256K or CHIP_128K sizes the flash
    uint32_t idExtraBits = 0;                   // 0..15, bits 12..15 of the device identifier
    uint32_t cpuId = device::CPUID_M0PLUS;
    uint16_t hardwareVersion = 0x0203;          // identity word bits 0..15
    uint8_t typeLetter = 'E';                   // identity word bits 16..23
    std::string serial = "AB123456";            // 8 characters at 0xFF8; shorter is 0-padded
    uint32_t firmwareVersion = 0x0A030105;      // word at settings base - 16
    uint32_t firmwareVersionExtra = 0x00004502; // word at settings base - 12
    SimLink link = SimLink::Usb;
    std::string versionText = "v1.1 Mar 12 2019 VMD\n\r";  // answer to "V#"
    SimChecksum checksum = SimChecksum::Sum;    // how "Z" sums a range
};

// Misbehaviour on demand; every field off by default. Commands are counted
// from 1 since the last connection (hostOpened) or boot; XMODEM blocks are
// counted the same way, each block once however often it is resent.
struct SimFaults {
    uint64_t trickleUs = 0;       // no monitor: hears nothing, sends a byte every N us
    bool noVersionReply = false;  // "V#" gets no answer
    uint32_t dropReplyOf = 0;     // command N gets no reply
    uint32_t shortReplyOf = 0;    // the reply of command N is cut short ...
    size_t shortReplyKeep = 1;    // ... to this many bytes (at most its length less one)
    uint32_t wrongLetterOf = 0;   // the first reply byte of command N has its case bit flipped
    uint32_t nakBlock = 0;        // received XMODEM block N is answered with NAK ...
    uint32_t nakTimes = 0;        // ... this many times before it is taken
    uint32_t corruptBlock = 0;    // sent XMODEM block N goes out with a wrong CRC ...
    uint32_t corruptTimes = 0;    // ... this many times
    bool silentErase = false;     // "X...#" erases but does not answer
    bool silentInitD = false;     // "x#" does not answer
    // After a jump or a reset the monitor answers nothing more, however the
    // host connects again: the firmware runs, as on a real adapter.
    bool silentAfterRestart = false;
    // After "x#", what "Y" copies into flash is stored XORed with this (0:
    // off): a monitor that decodes the image it receives.
    uint8_t xorAfterInitD = 0;
    uint32_t stuckByte = 0;       // this flash address does not program (0: none)
    uint32_t goneAfter = 0;       // after command N the device hears and answers nothing more
    // Block reads covering flash byte wrongReadAddr return it wrong (inverted
    // the first time, then other values), the first wrongReadTimes of them
    // (counted over the adapter's life); the transfer itself is sound, as
    // from a flash cell that reads unreliably.
    bool wrongRead = false;
    uint32_t wrongReadAddr = 0;
    uint32_t wrongReadTimes = UINT32_MAX;
};

// Link-time costs, all zero by default (replies ready at once).
struct SimTiming {
    uint64_t replyUs = 0;        // from a command to its reply
    uint64_t rowEraseUs = 0;     // per 256-byte row erased
    uint64_t pageWriteUs = 0;    // per 64-byte page written
    bool uartByteTime = false;   // on a UART link each byte, either way, takes 10 bit times
};

// What the host made the adapter do, for tests to assert on.
struct SimRecord {
    std::vector<std::string> commands;         // every command text, "#" included
    std::vector<uint32_t> erasedRows;          // row addresses, in erase order
    std::vector<uint32_t> writtenPages;        // page addresses, in write order
    std::vector<uint32_t> bootloaderTouches;   // attempts to erase or write 0x0000..0x0FFF
    std::vector<uint32_t> jumps;               // addresses of "k" commands
    unsigned resets = 0;                       // reset requests
    uint64_t exchanges = 0;                    // commands received, answered or not
    uint64_t replies = 0;                      // answers sent, each after the reply latency
    uint64_t bytesIn = 0;                      // bytes heard from the host
    uint64_t bytesOut = 0;                     // bytes answered
    // The block reads' share of the above, and the memory bytes they fetched.
    uint64_t readReplies = 0, readBytesIn = 0, readBytesOut = 0, readData = 0;

    void clear() { *this = SimRecord(); }
};

// The monitor answers "w"/"o" with 4/1 raw bytes, "V#" with the version
// text, "X" with "X\n\r" after erasing whole rows from the row holding the
// address (field 0: through the end of flash, else up to the settings
// base), "Y addr,0" (source) and "Y addr,size" (copy, bits only cleared)
// with "Y\n\r", "Z" with "Z" and 8 upper-case digits of the options'
// checksum (the byte sum by default) over flash and RAM, "x#" with "x\n\r",
// and the auto-baud bytes on a UART with "\n\r>". "W"/"O"/"S" store into
// RAM only. The bootloader's rows (0x0000..0x0FFF) are protected: attempts are recorded, nothing changes.
// Unknown or malformed commands are recorded and ignored. A transfer the
// host goes quiet on for 10 s is abandoned, and so is one interrupted by a
// printable byte (the start of the host's next command).
class SimAdapter {
public:
    static constexpr uint64_t NEVER = UINT64_MAX;
    // After a jump or a reset the monitor is back on its own after this.
    static constexpr uint64_t REBOOT_US = 50000;
    static constexpr uint32_t RAM_SIZE = 0x10000;

    explicit SimAdapter(const SimOptions& options = SimOptions());
    SimAdapter(const SimAdapter&) = delete;
    SimAdapter& operator=(const SimAdapter&) = delete;

    SimFaults faults;
    SimTiming timing;
    SimRecord record;
    // Called with each command before it is carried out, for tests that act
    // on the host's side at a given step.
    std::function<void(const std::string& command)> onCommand;

    const SimOptions& options() const { return _options; }

    // --- Link side. Times are link microseconds and never go back.
    // The host opened the line: a fresh session (a UART link waits for the
    // auto-baud bytes again); a stopped monitor boots at once.
    void hostOpened(int baud, uint64_t nowUs);
    void receive(const uint8_t* data, size_t n, uint64_t nowUs);
    // Reply bytes ready by nowUs, and taking them.
    size_t pending(uint64_t nowUs);
    size_t take(uint8_t* out, size_t max, uint64_t nowUs);
    // When the next reply byte is ready, or NEVER when none is queued.
    uint64_t nextReadyUs() const;
    // True between a jump or reset and the next boot.
    bool stopped(uint64_t nowUs)
    {
        tick(nowUs);
        return _mode == Mode::Stopped;
    }

    // --- Memory, for tests and for saving state.
    std::vector<uint8_t>& flash() { return _flash; }
    const std::vector<uint8_t>& flash() const { return _flash; }
    std::vector<uint8_t>& ram() { return _ram; }
    uint32_t settingsBase() const { return device::settingsBase(_options.chipId); }
    // The word the monitor's word read would answer.
    uint32_t peekWord(uint32_t addr) const;
    // Stores into flash or RAM directly, without the flash's NOR rules.
    void pokeWord(uint32_t addr, uint32_t value);
    // The flash image as a file of exactly the flash's size.
    bool loadFlash(const std::string& path);
    bool saveFlash(const std::string& path) const;

private:
    enum class Mode { Stopped, AwaitSync, Command, RawReceive, XmodemReceive, XmodemSend };
    enum class SendState { WaitStart, WaitAck, WaitEotAck };
    struct OutByte {
        uint8_t value;
        uint64_t readyUs;
    };

    // Session and output (SimAdapter.cpp).
    void tick(uint64_t nowUs);
    void startSession();
    void stop();
    bool gone() const;
    void work(uint64_t us);
    uint64_t byteUs() const;
    void send(const uint8_t* data, size_t n);
    void send(const std::string& text);
    void reply(std::string bytes);
    uint8_t readMem8(uint32_t addr) const;
    void writeMem8(uint32_t addr, uint8_t value);

    // Monitor commands and flash (SimMonitor.cpp).
    void handleByte(uint8_t b);
    bool autoBaudEnds(uint8_t b);
    void execute();
    // The commands with more to them than a reply: W (which may be the
    // reset request), S, R and Z.
    void writeWord(uint32_t addr, uint32_t value);
    void receive(uint32_t addr, uint32_t size);
    void sendRead(uint32_t addr, uint32_t size);
    void replyChecksum(uint32_t addr, uint32_t size);
    void eraseFrom(uint32_t addr, bool withSettings);
    void copyToFlash(uint32_t src, uint32_t dst, uint32_t size);
    void touchBootloader(uint32_t addr, uint32_t size);
    // The bits the fault flips in the block read of size bytes from addr;
    // 0 when it spoils none.
    uint8_t takeWrongRead(uint32_t addr, uint32_t size);

    // XMODEM-CRC, receiver and sender (SimXmodem.cpp).
    void startXmodemReceive(uint32_t addr, uint32_t size);
    void startXmodemSend(uint32_t addr, uint32_t size);
    void xmodemReceiveByte(uint8_t b);
    void xmodemSendByte(uint8_t b);
    void xmodemBlockIn();
    void xmodemBlockOut();
    void endTransfer(uint8_t b);

    SimOptions _options;
    std::vector<uint8_t> _flash;
    std::vector<uint8_t> _ram;

    Mode _mode = Mode::AwaitSync;
    uint64_t _nowUs = 0;
    uint64_t _stoppedUs = 0;
    uint64_t _busyUntilUs = 0;   // flash work done
    uint64_t _lineFreeUs = 0;    // last queued byte out
    uint64_t _lastHeardUs = 0;
    uint64_t _heardUs = 0;       // when the byte being handled was in whole
    int _baud = 115200;
    std::deque<OutByte> _out;
    uint8_t _syncTail[2] = {0, 0};
    std::string _command;
    uint32_t _commandCount = 0;
    uint32_t _copySource = device::RAM_BASE;
    bool _decoding = false;  // "x#" seen this session
    bool _rawRead = false;   // answering a raw block read

    // The block transfer in progress.
    uint32_t _xferAddr = 0;
    uint32_t _xferLeft = 0;
    uint8_t _blockNumber = 1;
    std::vector<uint8_t> _block;
    SendState _sendState = SendState::WaitStart;
    uint32_t _blocksIn = 0;
    uint32_t _blocksOut = 0;
    uint32_t _faultsGiven = 0;   // NAKs or corrupt sends of the current block
    uint32_t _wrongReadsGiven = 0;
    uint8_t _wrongReadMask = 0;  // what the XMODEM send in progress spoils
};
