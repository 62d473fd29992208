// Opening, line settings and exclusive use of PosixSerialPort, against real
// pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "PosixLineSettings.h"
#include "PosixSerialPort.h"
#include "Pty.h"

namespace {

using P = SerialPort;

bool open8N1(SerialPort& port, int baud = 115200)
{
    return port.open(baud, 8, P::ParityNone, P::StopBitOne);
}

void expectRawLine(const termios& tio)
{
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD | CRTSCTS), static_cast<tcflag_t>(CLOCAL | CREAD));
}

TEST(PosixLineSettings, MapsSpeedAndFramingOntoARawLine)
{
    // A cooked line with flow control, as terminals often come up.
    termios cooked{};
    cooked.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_iflag = IXON | IXOFF | ICRNL | INPCK | ISTRIP;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_cflag = CRTSCTS | CS7 | PARENB | CSTOPB;
    const struct {
        int baud, data, parity, stop;
        tcflag_t framing;  // CSIZE, PARENB, PARODD, CSTOPB
        speed_t speed;
    } cases[] = {
        {115200, 8, P::ParityNone, P::StopBitOne, CS8, B115200},
        {921600, 8, P::ParityNone, P::StopBitOne, CS8, B921600},
        {9600, 7, P::ParityEven, P::StopBitTwo, CS7 | PARENB | CSTOPB, B9600},
        {57600, 5, P::ParityOdd, P::StopBitOne, CS5 | PARENB | PARODD, B57600},
        // refused: unknown speed, 9 bits, parity 3, 1.5 stop bits
        {12345, 8, P::ParityNone, P::StopBitOne, 0, 0},
        {115200, 9, P::ParityNone, P::StopBitOne, 0, 0},
        {115200, 8, 3, P::StopBitOne, 0, 0},
        {115200, 8, P::ParityNone, P::StopBitOneFive, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + "/" + std::to_string(c.data) + "/" +
                     std::to_string(c.parity) + "/" + std::to_string(c.stop));
        LineSettings line;
        bool ok = makeLineSettings(cooked, c.baud, c.data, static_cast<P::Parity>(c.parity),
                                   static_cast<P::StopBit>(c.stop), line);
        ASSERT_EQ(ok, c.speed != 0);
        if (!ok)
            continue;
        expectRawLine(line.tio);
        EXPECT_EQ(line.tio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), c.framing);
        EXPECT_EQ(cfgetospeed(&line.tio), c.speed);
        EXPECT_EQ(cfgetispeed(&line.tio), c.speed);
    }
}

TEST(PosixSerialPort, ClosedPortFailsEveryTransfer)
{
    PosixSerialPort port("/dev/ttyFAKE7", true);
    uint8_t buf[4] = {};
    EXPECT_EQ(port.name(), "/dev/ttyFAKE7");
    EXPECT_TRUE(port.isUsb());
    EXPECT_EQ(port.read(buf, 0), -1);  // the closed test comes first
    EXPECT_EQ(port.write(buf, 4), -1);
    EXPECT_EQ(port.get(), -1);
    EXPECT_EQ(port.put('A'), -1);
    EXPECT_FALSE(port.timeout(100));
    port.close();
}

TEST(PosixSerialPort, PathsThatAreNotTerminalsFailToOpen)
{
    char file[] = "/tmp/tarvo-port-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    for (const char* path : {"/dev/ttyDOES_NOT_EXIST", "/dev/null", "/tmp", "", static_cast<const char*>(file)}) {
        PosixSerialPort port(path, false);
        EXPECT_FALSE(open8N1(port)) << path;
        EXPECT_EQ(port.put('x'), -1) << path;
    }
    std::remove(file);
}

// A failed or repeated open leaves the line as it was and nobody locked out;
// while open, the terminal is ours alone.
TEST(PosixSerialPort, OpenIsExclusiveAndLeavesNothingBehind)
{
    Pty pty = Pty::open();
    ASSERT_FALSE(pty.path.empty());
    PosixSerialPort first(pty.path, false), second(pty.path, false);
    EXPECT_FALSE(first.open(115200, 8, static_cast<P::Parity>(3), P::StopBitOne));
    ASSERT_TRUE(open8N1(first, 921600));
    EXPECT_FALSE(open8N1(first));
    EXPECT_FALSE(open8N1(second));

    termios tio;
    ASSERT_EQ(tcgetattr(pty.slave.get(), &tio), 0);
    expectRawLine(tio);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B921600));
    EXPECT_EQ(first.put('y'), 'y');
    EXPECT_EQ(readFrom(pty.master.get(), 1), Bytes{'y'});

    // The flag belongs to the terminal: left set, it would shut out an
    // unprivileged program for as long as anyone holds the terminal.
#ifdef TIOCGEXCL
    int excl = -1;
    ASSERT_EQ(ioctl(pty.slave.get(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    first.close();
    ASSERT_EQ(ioctl(pty.slave.get(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
#else
    first.close();
#endif

    EXPECT_TRUE(open8N1(second));
    second.close();
    EXPECT_TRUE(open8N1(first));
}

}  // namespace
