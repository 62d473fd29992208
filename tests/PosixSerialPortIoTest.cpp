// Data through PosixSerialPort over a pseudo-terminal: time-outs, byte
// values, large writes and a peer that hangs up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <thread>

#include "PosixSerialPort.h"
#include "Pty.h"
#include "SimClock.h"

namespace {

void pauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class PosixPortIo : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(pty.path.empty());
        ASSERT_TRUE(port.open(921600, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    }
    int master() const { return pty.master.get(); }

    Pty pty = Pty::open();
    PosixSerialPort port{pty.path, false};
};

TEST_F(PosixPortIo, EveryByteValuePassesUnchangedBothWays)
{
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    ASSERT_TRUE(port.timeout(1000));
    for (const Bytes& pattern : {all, Bytes(all.rbegin(), all.rend())}) {
        EXPECT_EQ(port.write(pattern.data(), 256), 256);
        port.flush();
        EXPECT_EQ(readFrom(master(), 256), pattern);
        ASSERT_TRUE(writeTo(master(), pattern));
        Bytes got(256);
        EXPECT_EQ(port.read(got.data(), 256), 256);
        EXPECT_EQ(got, pattern);
    }
}

TEST_F(PosixPortIo, ReadsEndOnlyAfterAQuietWindow)
{
    uint8_t buf[10] = {};
    ASSERT_TRUE(writeTo(master(), {1, 2, 3, 4}));
    ASSERT_TRUE(port.timeout(100));
    EXPECT_EQ(port.read(buf, 10), 4);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(port.read(buf, 0), 0);
    EXPECT_EQ(port.get(), -1);

    ASSERT_TRUE(writeTo(master(), {0xFF, 0x00}));
    EXPECT_EQ(port.get(), 255);
    EXPECT_EQ(port.get(), 0);

    // Pieces closer together than a window but spread over more than one.
    std::thread peer([this] {
        for (uint8_t piece = 0; piece < 3; piece++) {
            pauseMs(piece ? 600 : 0);
            writeTo(master(), {piece, piece});
        }
    });
    ASSERT_TRUE(port.timeout(1000));
    EXPECT_EQ(port.read(buf, 6), 6);
    peer.join();
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0, 0, 1, 1, 2, 2}));

    // A zero window returns only what is already queued.
    ASSERT_TRUE(port.timeout(0));
    EXPECT_EQ(port.read(buf, 10), 0);
    ASSERT_TRUE(writeTo(master(), {9, 8, 7}));
    ASSERT_TRUE(waitQueued(pty.slave.get(), 3));
    EXPECT_EQ(port.read(buf, 10), 3);
}

TEST_F(PosixPortIo, PutSendsTheLowEightBits)
{
    const int cases[][2] = {{0x1FF, 0xFF}, {0x141, 0x41}, {0, 0}, {-1, 0xFF}};
    for (const auto& c : cases) {
        EXPECT_EQ(port.put(c[0]), c[1]) << c[0];
        EXPECT_EQ(readFrom(master(), 1), Bytes{static_cast<uint8_t>(c[1])}) << c[0];
    }
}

TEST_F(PosixPortIo, WriteWaitsForASlowReaderButNotForever)
{
    Bytes data(64 * 1024);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 7 + i / 256);
    Bytes received;
    std::thread peer([&] { received = readFrom(master(), data.size()); });
    EXPECT_EQ(port.write(data.data(), 65536), 65536);
    peer.join();
    EXPECT_TRUE(received == data);

    // Nobody reads now: a short count, not a hang, and only after the whole
    // stall limit (a lower bound; how much longer it takes is not the point).
    Bytes big(1024 * 1024, 0x55);
    const auto start = std::chrono::steady_clock::now();
    int n = port.write(big.data(), static_cast<int>(big.size()));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
    EXPECT_GE(waited, std::chrono::milliseconds(5000));
}

// A port whose output queue is scripted on the virtual clock, for what a pty
// cannot show: its queue always reads empty.
class QueuedPort : public PosixSerialPort {
public:
    using PosixSerialPort::PosixSerialPort;
    std::function<int(uint64_t ms)> queued;  // by virtual milliseconds since the flush began
    uint64_t startMs = 0;

protected:
    int outputQueued() const override { return queued(SimClock::nowUs() / 1000 - startMs); }
};

TEST_F(PosixPortIo, FlushWaitsForTheQueueButGivesUpAfterFiveSecondsWithoutProgress)
{
    EXPECT_TRUE(port.flush());  // the pty's queue is empty
    struct Case {
        const char* what;
        std::function<int(uint64_t)> queued;
        bool result;
        uint64_t tookMs;
    } cases[] = {
        {"empty", [](uint64_t) { return 0; }, true, 0},
        {"drains steadily", [](uint64_t ms) { return ms < 100 ? int(100 - ms) : 0; }, true, 100},
        {"moves every 4 s", [](uint64_t ms) { return ms < 12000 ? int(3 - ms / 4000) : 0; }, true,
         12000},
        {"stuck", [](uint64_t) { return 64; }, false, 5000},
        {"stuck after moving", [](uint64_t ms) { return ms < 2000 ? 64 : 32; }, false, 7000},
        {"line error", [](uint64_t) { return -1; }, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pty line = Pty::open();
        QueuedPort queuedPort(line.path, true);
        ASSERT_TRUE(queuedPort.open(921600, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
        SimClockGuard virtualClock;
        queuedPort.queued = c.queued;
        queuedPort.startMs = SimClock::nowUs() / 1000;
        EXPECT_EQ(queuedPort.flush(), c.result);
        EXPECT_EQ(SimClock::nowUs() / 1000 - queuedPort.startMs, c.tookMs);
    }
    PosixSerialPort closed(pty.path, false);
    EXPECT_FALSE(closed.flush());
}

TEST_F(PosixPortIo, PeerHangUpFailsWaitingAndLaterTransfers)
{
    ASSERT_TRUE(port.timeout(60000));
    std::thread peer([this] {
        pauseMs(100);
        pty.master.reset();
    });
    uint8_t buf[4] = {};
    EXPECT_EQ(port.read(buf, 4), -1);
    peer.join();
    EXPECT_EQ(port.get(), -1);
    EXPECT_EQ(port.write(buf, 4), -1);
    EXPECT_EQ(port.put(0x55), -1);
    port.flush();
}

// Prints a figure for the record; only the data is checked.
TEST_F(PosixPortIo, RoundTripFigure)
{
    const int rounds = 2000;
    const Bytes command{'w', '0', '0', '0', '0', '0', 'F', 'F', '4', ',', '4', '#'};
    const Bytes reply{0x34, 0x12, 0x45, 0x00};
    std::thread peer([&] {
        for (int i = 0; i < rounds; i++)
            if (readFrom(master(), 12) != command || !writeTo(master(), reply))
                return;
    });
    ASSERT_TRUE(port.timeout(1000));
    int good = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        uint8_t got[4] = {};
        if (port.write(command.data(), 12) != 12 || port.read(got, 4) != 4)
            break;
        good += Bytes(got, got + 4) == reply;
    }
    const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    peer.join();
    EXPECT_EQ(good, rounds);
    std::printf("pty round trip (12 bytes out, 4 back): %.1f us mean over %d rounds\n",
                elapsed.count() / rounds, rounds);
}

}  // namespace
