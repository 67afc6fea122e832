// SPDX-License-Identifier: MIT
#include "SerialControl.h"
#include "Pty.h"
#include "Wait.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
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

TEST_F(OpenPort, inputTakesWhatHasArrivedWithoutWaitingForItsEvent) {
    pty.send("last line\r", [] {});
    // The terminal's own buffer has the bytes once a second reader of it sees them.
    const int watcher = ::open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(watcher, 0);
    pollfd readable{watcher, POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 5000), 1);
    ::close(watcher);
    EXPECT_EQ(control.Input(), "last line\r");
    settle(2 * tolvar::SerialControl::kPaceMs);
    EXPECT_EQ(received, "") << "nothing is left for the paced read";
}

TEST_F(OpenPort, gathersPiecesThatArriveFasterThanThePace) {
    constexpr int kPieces = 100;
    std::string sent;
    QElapsedTimer clock;
    clock.start();
    int events = 0;
    QObject::connect(&control, &tolvar::SerialControl::OnComm, [&] { ++events; });
    for (int piece = 0; piece < kPieces; ++piece) {
        const std::string bytes = "p" + std::to_string(piece) + (piece % 10 == 9 ? "\r" : ",");
        pty.send(bytes, [] {});
        sent += bytes;
        waitFor([] { return false; }, 2);
    }
    EXPECT_EQ(receive(sent.size()), sent);
    // One read per pacing interval at most, rather than one per piece.
    EXPECT_LE(events, clock.elapsed() / tolvar::SerialControl::kPaceMs + 2) << kPieces << " pieces";
    EXPECT_LT(events, kPieces / 4);
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

// The lock files of the usual convention, which other serial tools leave in /var/lock.
TEST(SerialControlOpen, honoursAnotherLiveProgramsLockFileAndTakesOverAStaleOne) {
    if (::access("/var/lock", W_OK) != 0)
        GTEST_SKIP() << "/var/lock is not writable here";
    const struct {
        const char* name;
        pid_t owner;
        bool opens;
    } cases[] = {
        {"live", ::getppid(), false}, {"dead", INT32_MAX, true}, // above any pid_max
    };
    for (const auto& c : cases) {
        Pty pty;
        const QString port = QString::fromStdString(pty.slavePath());
        const QString lockPath = "/var/lock/LCK.." + port.mid(5).replace('/', '_');
        const auto lockOwner = [&] {
            QFile file(lockPath);
            return file.open(QIODevice::ReadOnly) ? file.readLine().trimmed() : QByteArray();
        };
        const auto cleanup = qScopeGuard([&] { QFile::remove(lockPath); });
        QFile lock(lockPath);
        ASSERT_TRUE(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly)) << c.name;
        lock.write(QByteArray::number(c.owner).rightJustified(10) + '\n');
        lock.close();

        tolvar::SerialControl control(port);
        EXPECT_EQ(control.PortOpen(true) == 0, c.opens) << c.name;
        if (c.opens)
            EXPECT_EQ(lockOwner(), QByteArray::number(::getpid())) << c.name << ": taken over";
        control.PortOpen(false);
        EXPECT_EQ(lockOwner(), c.opens ? QByteArray() : QByteArray::number(c.owner))
            << c.name << ": ours goes at close, another program's stays";
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
