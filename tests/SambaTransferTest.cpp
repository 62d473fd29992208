// Block transfer: CRC-16, XMODEM framing and limits, raw transfers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimRig.h"

namespace {

constexpr uint8_t SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15;

std::vector<uint8_t> pattern(size_t n, unsigned seed = 7)
{
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; i++)
        data[i] = static_cast<uint8_t>((i * seed + i / 251 + 3) & 0xFF);
    return data;
}

// The XMODEM blocks in the host's bytes from `from` on, in order.
std::vector<std::vector<uint8_t>> blocksIn(const std::vector<uint8_t>& sent, size_t from)
{
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t i = from; i < sent.size();) {
        if (sent[i] == SOH && i + 133 <= sent.size()) {
            blocks.emplace_back(sent.begin() + static_cast<long>(i),
                                sent.begin() + static_cast<long>(i + 133));
            i += 133;
        } else {
            i++;
        }
    }
    return blocks;
}

size_t countByte(const std::vector<uint8_t>& bytes, size_t from, uint8_t value)
{
    size_t n = 0;
    for (size_t i = from; i < bytes.size(); i++)
        n += bytes[i] == value;
    return n;
}

std::vector<uint8_t> ramAt(SimRig& rig, uint32_t offset, size_t n)
{
    auto& ram = rig.adapter->ram();
    return std::vector<uint8_t>(ram.begin() + offset, ram.begin() + static_cast<long>(offset + n));
}

// Reference values from Python's binascii.crc_hqx(data, 0).
TEST(SambaCrc, MatchesReferenceVectors)
{
    std::vector<uint8_t> ones(128, 0xFF), counting(128), zeros(128, 0);
    for (int i = 0; i < 128; i++)
        counting[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    std::string digits = "123456789";
    struct Case {
        std::vector<uint8_t> data;
        uint16_t crc;
    } cases[] = {
        {{}, 0x0000},
        {std::vector<uint8_t>(digits.begin(), digits.end()), 0x31C3},
        {{0x00}, 0x0000},
        {{0x01}, 0x1021},
        {{'A'}, 0x58E5},
        {ones, 0xEDA9},
        {counting, 0xE80A},
        {zeros, 0x0000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Samba::crc16Calc(c.data.data(), static_cast<int>(c.data.size())), c.crc)
            << c.data.size() << " bytes";
    EXPECT_EQ(Samba::crc16Calc(counting.data(), -1), 0);
    EXPECT_EQ(Samba::crc16AddByte(0x01, 0), 0x1021);
    EXPECT_EQ(Samba::crc16AddByte('9', 0), 0xA77A);
    EXPECT_EQ(Samba::crc16AddByte('9', 0x31C3), 0x4208);

    // A block's CRC covers its data bytes only, high byte first.
    uint8_t blk[133] = {SOH, 1, 0xFE};
    std::copy(counting.begin(), counting.end(), blk + 3);
    Samba::crc16Add(blk);
    EXPECT_EQ(blk[131], 0xE8);
    EXPECT_EQ(blk[132], 0x0A);
    blk[1] = 9;
    EXPECT_TRUE(Samba::crc16Check(blk));
    blk[70] ^= 0x10;
    EXPECT_FALSE(Samba::crc16Check(blk));
}

TEST(SambaXmodem, WriteFramesBlocksWithZeroPadding)
{
    struct Case {
        int size;
        size_t blocks;
    } cases[] = {{1, 1}, {64, 1}, {128, 1}, {256, 2}, {257, 3}, {257 * 128, 257}};
    for (const auto& c : cases) {
        SimRig rig(withLink(SimLink::Uart), usbPort(false));
        ASSERT_TRUE(rig.connect());
        std::vector<uint8_t> data = pattern(static_cast<size_t>(c.size));
        size_t mark = rig.mark();
        rig.samba.write(0x20000000, data.data(), c.size);

        char cmd[32];
        snprintf(cmd, sizeof(cmd), "S20000000,%08X#", c.size);
        EXPECT_EQ(rig.sentSince(mark).substr(0, 19), cmd);
        auto blocks = blocksIn(rig.log->sent, mark + 19);
        ASSERT_EQ(blocks.size(), c.blocks) << c.size;
        for (size_t b = 0; b < blocks.size(); b++) {
            const auto& blk = blocks[b];
            ASSERT_EQ(blk[1], static_cast<uint8_t>(b + 1));  // block 256 is number 0
            ASSERT_EQ(blk[2], static_cast<uint8_t>(0xFE - b));
            for (size_t i = 0; i < 128; i++) {
                size_t at = b * 128 + i;
                uint8_t expected = at < data.size() ? data[at] : 0;
                ASSERT_EQ(blk[3 + i], expected) << "size " << c.size << " offset " << at;
            }
            EXPECT_TRUE(Samba::crc16Check(blk.data()));
        }
        EXPECT_EQ(rig.log->sent.back(), EOT);
        EXPECT_EQ(ramAt(rig, 0, data.size()), data);
    }
}

TEST(SambaXmodem, ResendsANakedBlockUpToFiveTimes)
{
    struct Case {
        uint32_t naks;
        bool ok;
    } cases[] = {{1, true}, {4, true}, {5, false}};
    for (const auto& c : cases) {
        SimRig rig(withLink(SimLink::Uart), usbPort(false));
        ASSERT_TRUE(rig.connect());
        rig.adapter->faults.nakBlock = 2;
        rig.adapter->faults.nakTimes = c.naks;
        std::vector<uint8_t> data = pattern(300);
        size_t mark = rig.mark();
        if (c.ok) {
            rig.samba.write(0x20000000, data.data(), 300);
            EXPECT_EQ(ramAt(rig, 0, 300), data);
        } else {
            EXPECT_THROW(rig.samba.write(0x20000000, data.data(), 300), SambaError);
        }
        size_t sendsOfBlock2 = 0;
        for (const auto& blk : blocksIn(rig.log->sent, mark + 19))
            sendsOfBlock2 += blk[1] == 2;
        EXPECT_EQ(sendsOfBlock2, c.ok ? c.naks + 1 : 5u) << c.naks;
    }
}

TEST(SambaXmodem, WriteNeedsTheReceiversStartByte)
{
    for (bool drop : {true, false}) {
        SimRig rig(withLink(SimLink::Uart), usbPort(false));
        ASSERT_TRUE(rig.connect());
        uint32_t next = rig.nextCommand();
        if (drop)
            rig.adapter->faults.dropReplyOf = next;
        else
            rig.adapter->faults.wrongLetterOf = next;  // "c" for "C"
        uint8_t data[4] = {};
        size_t mark = rig.mark();
        EXPECT_THROW(rig.samba.write(0x20000000, data, 4), SambaError);
        EXPECT_EQ(rig.mark(), mark + 19) << "no block without the start byte";
    }
}

TEST(SambaXmodem, EndOfTransmissionIsRepeatedUpToFiveTimes)
{
    for (int naks : {4, 5}) {
        SimRig rig(withLink(SimLink::Uart), usbPort(false));
        ASSERT_TRUE(rig.connect());
        std::string script = "C";
        script += static_cast<char>(ACK);
        script += std::string(static_cast<size_t>(naks), static_cast<char>(NAK));
        script += static_cast<char>(ACK);
        rig.port->script(script);
        uint8_t data[4] = {1, 2, 3, 4};
        size_t mark = rig.mark();
        if (naks < 5)
            rig.samba.write(0x20000000, data, 4);
        else
            EXPECT_THROW(rig.samba.write(0x20000000, data, 4), SambaError);
        EXPECT_EQ(countByte(rig.log->sent, mark + 19 + 133, EOT), naks < 5 ? naks + 1u : 5u);
    }
}

TEST(SambaXmodem, BlockTakenOnlyInPartThrowsAtOnce)
{
    SimRig rig(withLink(SimLink::Uart), usbPort(false));
    ASSERT_TRUE(rig.connect());
    rig.port->options().maxWrite = 100;
    uint8_t data[4] = {};
    size_t mark = rig.mark();
    EXPECT_THROW(rig.samba.write(0x20000000, data, 4), SambaError);
    EXPECT_EQ(rig.mark(), mark + 19 + 100);
}

// A bad first block is asked for again with "C", a later one with NAK.
// The last block carries 44 of its 128 bytes.
TEST(SambaXmodem, ReadRetriesCorruptBlocksUpToFiveTimes)
{
    struct Case {
        uint32_t block;
        uint32_t times;
        bool ok;
    } cases[] = {{0, 0, true}, {1, 4, true}, {3, 4, true}, {3, 5, false}, {1, 5, false}};
    for (const auto& c : cases) {
        SimRig rig(withLink(SimLink::Uart), usbPort(false));
        ASSERT_TRUE(rig.connect());
        rig.adapter->faults.corruptBlock = c.block;
        rig.adapter->faults.corruptTimes = c.times;
        std::vector<uint8_t> data = pattern(300, 5);
        std::copy(data.begin(), data.end(), rig.adapter->ram().begin());
        std::vector<uint8_t> got(301, 0xEE);
        size_t mark = rig.mark();
        if (c.ok) {
            rig.samba.read(0x20000000, got.data(), 300);
            EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end() - 1), data);
            EXPECT_EQ(got.back(), 0xEE) << "nothing stored past the size";
            EXPECT_EQ(rig.samba.readWord(0xFF4), rig.adapter->peekWord(0xFF4));
        } else {
            EXPECT_THROW(rig.samba.read(0x20000000, got.data(), 300), SambaError);
        }
        size_t tries = std::min(c.times + 1, 5u);
        EXPECT_EQ(countByte(rig.log->sent, mark + 19, 'C'), c.block == 1 ? tries : 1u);
        EXPECT_EQ(countByte(rig.log->sent, mark + 19, NAK), c.block == 1 ? 0u : tries - c.ok);
    }
}

// Scripted senders: the complement is not examined, the number is; the end
// waits at most five bytes for EOT, answering each other byte with NAK.
TEST(SambaXmodem, ReadChecksNumberAndWaitsForEot)
{
    struct Case {
        uint8_t number;
        uint8_t complement;
        size_t junkBeforeEot;
        bool ok;
    } cases[] = {
        {1, 0x00, 0, true}, {1, 0xFE, 4, true}, {2, 0xFD, 0, false}, {1, 0xFE, 5, false},
    };
    for (const auto& c : cases) {
        SimRig rig(withLink(SimLink::Uart), usbPort(false));
        ASSERT_TRUE(rig.connect());
        std::vector<uint8_t> blk(133, 0x55);
        blk[0] = SOH;
        blk[1] = c.number;
        blk[2] = c.complement;
        Samba::crc16Add(blk.data());
        blk.insert(blk.end(), c.junkBeforeEot, 'j');
        blk.push_back(EOT);
        rig.port->script(blk);
        uint8_t got[10] = {};
        size_t mark = rig.mark();
        if (c.ok) {
            rig.samba.read(0x20000000, got, 10);
            EXPECT_EQ(got[9], 0x55);
            EXPECT_EQ(rig.log->sent.back(), ACK);
        } else {
            EXPECT_THROW(rig.samba.read(0x20000000, got, 10), SambaError);
        }
        if (c.number == 1) {
            EXPECT_EQ(countByte(rig.log->sent, mark + 19, NAK), c.junkBeforeEot);
        }
    }
}

TEST(SambaRaw, WriteSendsCommandFlushAndData)
{
    SimRig rig;
    ASSERT_TRUE(rig.connect());
    std::vector<uint8_t> data = pattern(64);
    size_t mark = rig.mark();
    size_t flushes = rig.log->flushes.size();
    rig.samba.write(0x20000000, data.data(), 64);
    EXPECT_EQ(rig.sentSince(mark),
              "S20000000,00000040#" + std::string(data.begin(), data.end()));
    ASSERT_EQ(rig.log->flushes.size(), flushes + 1);
    EXPECT_EQ(rig.log->flushes.back(), mark + 19);
    EXPECT_EQ(ramAt(rig, 0, 64), data);
}

// A raw read is never a power of two above 32 bytes: such a read takes its
// first byte alone.
TEST(SambaRaw, ReadSplitsPowersOfTwoAbove32)
{
    struct Case {
        int size;
        std::string sent;
    } cases[] = {
        {32, "R20000010,00000020#"},
        {48, "R20000010,00000030#"},
        {33, "R20000010,00000021#"},
        {64, "o20000010,4#R20000011,0000003F#"},
        {1024, "o20000010,4#R20000011,000003FF#"},
        {1, "R20000010,00000001#"},
    };
    for (const auto& c : cases) {
        SimRig rig;
        ASSERT_TRUE(rig.connect());
        std::vector<uint8_t> data = pattern(static_cast<size_t>(c.size) + 16, 3);
        std::copy(data.begin(), data.end(), rig.adapter->ram().begin());
        std::vector<uint8_t> got(static_cast<size_t>(c.size));
        size_t mark = rig.mark();
        rig.samba.read(0x20000010, got.data(), c.size);
        EXPECT_EQ(rig.sentSince(mark), c.sent);
        EXPECT_EQ(got, std::vector<uint8_t>(data.begin() + 16, data.end())) << c.size;
    }
}

}  // namespace
