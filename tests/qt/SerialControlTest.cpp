// SPDX-License-Identifier: MIT
#include "SerialControl.h"
#include "Pty.h"
#include "Wait.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>

#include <gtest/gtest.h>

namespace {

struct OpenPort : ::testing::Test {
    void SetUp() override { ASSERT_EQ(control.PortOpen(true), 0); }
    void TearDown() override { control.PortOpen(false); }

    // Everything the control hands out on its OnComm events until `size` bytes came.
    std::string receive(std::size_t size) {
        waitFor([&] { return received.size() >= size; });
        return received;
    }

    Pty pty;
    tolvar::SerialControl control{QString::fromStdString(pty.slavePath())};
    std::string received;
    QMetaObject::Connection reader = QObject::connect(&control, &tolvar::SerialControl::OnComm,
                                                      [this] { received += control.Input(); });
};

TEST_F(OpenPort, appliesTheStoredSettingsInRawMode) {
    const int fd = ::open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetispeed(&tio), B19200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IGNCR | INLCR | IXON | ISTRIP), 0u)
        << "input must not be translated";
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
}

TEST_F(OpenPort, handsOutEveryByteUnchangedAndInOrder) {
    std::string bytes;
    for (int round = 0; round < 64; ++round)
        for (int b = 0; b < 256; ++b)
            bytes += static_cast<char>(b);
    pty.send(bytes, [] { QCoreApplication::processEvents(); });
    EXPECT_EQ(receive(bytes.size()), bytes);
    EXPECT_EQ(control.Input(), "") << "nothing waits once read";
}

TEST_F(OpenPort, vanishedDeviceIsReportedOnceAfterItsLastBytesAndThePortCloses) {
    QSignalSpy disconnected(&control, &tolvar::SerialControl::Disconnected);
    pty.send("last\r", [] {});
    ASSERT_EQ(receive(5), "last\r");
    pty.closeMaster();

    ASSERT_TRUE(waitFor([&] { return disconnected.count() > 0; }));
    settle();
    EXPECT_EQ(disconnected.count(), 1);
    EXPECT_EQ(control.PortOpen(false), 0) << "closing a port that is gone is quiet";
}

TEST_F(OpenPort, isFreeForAnotherOpenerOnceClosed) {
    EXPECT_EQ(control.PortOpen(false), 0);
    EXPECT_EQ(control.PortOpen(false), 0) << "a second close is quiet";
    tolvar::SerialControl other(QString::fromStdString(pty.slavePath()));
    EXPECT_EQ(other.PortOpen(true), 0);
    other.PortOpen(false);
}

TEST_F(OpenPort, refusesASecondOpenerInThisProcess) {
    tolvar::SerialControl other(QString::fromStdString(pty.slavePath()));
    EXPECT_NE(other.PortOpen(true), 0);
}

// Ways another program can hold the port, and ports that do not exist.
TEST(SerialControlOpen, failsWhenThePortIsHeldByAnotherProcess) {
    Pty pty;
    QProcess holder;
    holder.start(HOLD_PORT, {QString::fromStdString(pty.slavePath())});
    ASSERT_TRUE(holder.waitForReadyRead(5000)) << "the holder could not open the port";

    tolvar::SerialControl control(QString::fromStdString(pty.slavePath()));
    EXPECT_NE(control.PortOpen(true), 0);

    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(5000));
    EXPECT_EQ(control.PortOpen(true), 0) << "the port is free once the holder ends";
    control.PortOpen(false);
}

TEST(SerialControlOpen, failsWhenAnotherProgramHoldsAnAdvisoryLock) {
    Pty pty;
    const int holder = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    tolvar::SerialControl control(QString::fromStdString(pty.slavePath()));
    EXPECT_NE(control.PortOpen(true), 0);
    ::close(holder);
    EXPECT_EQ(control.PortOpen(true), 0) << "the refused open left nothing behind";
    control.PortOpen(false);
}

// The lock files that serial tools of the usual convention leave in the folder Qt uses.
TEST(SerialControlOpen, refusesThePortWhileAnotherLiveProgramsLockFileNamesIt) {
    if (::access("/var/lock", W_OK) != 0)
        GTEST_SKIP() << "/var/lock is not writable here";
    const pid_t alive = ::getppid();
    const pid_t dead = INT32_MAX; // above any pid_max
    const auto ascii = [](pid_t pid) { return QByteArray::number(pid).rightJustified(10) + '\n'; };
    const auto binary = [](std::int32_t pid) {
        return QByteArray(reinterpret_cast<const char*>(&pid), sizeof pid);
    };
    const struct {
        const char* name;
        QByteArray lock;
        bool opens;
    } cases[] = {
        {"live, ten digits", ascii(alive), false},
        {"live, binary", binary(alive), false},
        {"dead, ten digits", ascii(dead), true},
        {"dead, binary", binary(dead), true},
    };
    for (const auto& c : cases) {
        Pty pty;
        const QString port = QString::fromStdString(pty.slavePath());
        // Qt's name for /dev/pts/N; for port 1 it is LCK..ttyS0.
        const QString lockPath = "/var/lock/LCK.." + port.mid(5).replace('/', '_');
        const auto lockContent = [&] {
            QFile file(lockPath);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const auto cleanup = qScopeGuard([&] { QFile::remove(lockPath); });
        QFile lock(lockPath);
        ASSERT_TRUE(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly)) << c.name;
        lock.write(c.lock);
        lock.close();

        tolvar::SerialControl control(port);
        EXPECT_EQ(control.PortOpen(true) == 0, c.opens) << c.name;
        if (c.opens)
            EXPECT_TRUE(lockContent().startsWith(QByteArray::number(::getpid()) + '\n'))
                << c.name << ": the stale lock is taken over";
        control.PortOpen(false);
        EXPECT_EQ(lockContent(), c.opens ? QByteArray() : c.lock)
            << c.name << ": another program's lock is never overwritten or removed";
    }
}

TEST(SerialControlOpen, failsForWhatIsNotASerialPort) {
    QTemporaryDir dir;
    const QString file = dir.filePath("plain-file");
    QFile(file).open(QIODevice::WriteOnly);
    for (const QString& name : {dir.filePath("missing"), dir.path(), file}) {
        tolvar::SerialControl control(name);
        EXPECT_NE(control.PortOpen(true), 0) << name.toStdString();
    }
}

} // namespace
