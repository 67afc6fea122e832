// SPDX-License-Identifier: MIT
#include "SerialControl.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tolvar {

namespace {

// A hand-over that takes this much shows the port delivering far faster than 19200 bit/s could
// (70 ms of the line is 134 bytes): pacing would only slow it, so the control reads as bytes come.
constexpr std::size_t kFlood = 1024;
// What one Input hands out at most, so a flood cannot grow it without end: a terminal's buffers
// hold far less, so a caller about to close still takes everything received. Kept well below the
// size at which the logic hands a long line's memory back after each write.
constexpr std::size_t kMostPerInput = std::size_t{256} << 10;
// A hand-over takes a flood in smaller slices, so that the device's writes and ours overlap.
constexpr std::size_t kMostPerHandOver = std::size_t{16} << 10;

int applySettings(int port) {
    termios tio{};
    if (::tcgetattr(port, &tio) != 0)
        return errno;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // With VMIN 0 a read of an empty port would return 0, as a hung-up one does; with 1 it says
    // EAGAIN, and poll reports the first byte.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B19200) != 0 || ::cfsetospeed(&tio, B19200) != 0 ||
        ::tcsetattr(port, TCSANOW, &tio) != 0)
        return errno;
    return 0;
}

} // namespace

QString SerialControl::port1Name() {
    return QStringLiteral("/dev/ttyS0");
}

SerialControl::SerialControl(const QString& portName, QObject* parent)
    : QObject(parent), devicePath(portName.toStdString()), lock(devicePath) {
    connect(&pace, &QTimer::timeout, this, &SerialControl::handOver);
}

SerialControl::~SerialControl() {
    close();
}

int SerialControl::PortOpen(bool open) {
    if (!open) {
        close();
        return 0;
    }
    if (port >= 0)
        return EBUSY;
    const int error = this->open();
    if (error != 0)
        close();
    return error;
}

int SerialControl::open() {
    port = ::open(devicePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0)
        return errno;
    if (::tcgetattr(port, &restored) != 0) {
        const int error = errno;
        ::close(port); // not a terminal: nothing to restore
        port = -1;
        return error;
    }
    // Common serial tools claim a port with flock; TIOCEXCL keeps out openers who do not ask. The
    // flock comes before the lock file: a second opener in this process would take our lock file,
    // which names our PID, for its own, and remove it on giving up.
    if (::flock(port, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? EBUSY : errno;
    ::ioctl(port, TIOCEXCL);
    switch (lock.Take()) {
    case PortLock::Outcome::taken:
    case PortLock::Outcome::unavailable: // nothing announces the port: open anyway
        break;
    case PortLock::Outcome::inUse:
        return EBUSY;
    }
    if (const int error = applySettings(port); error != 0)
        return error;
    // A run holds only what came after Begin: a pty or a USB adapter's driver may still hold what
    // the device sent while the port was closed. A flush fails only when the device is gone, which
    // the first read reports as an unplug: no reason to refuse the port here.
    ::tcflush(port, TCIFLUSH);
    vanished = false;
    readable = new QSocketNotifier(port, QSocketNotifier::Read, this);
    connect(readable, &QSocketNotifier::activated, this, &SerialControl::onReadable);
    return 0;
}

void SerialControl::close() {
    pace.stop();
    if (readable != nullptr) {
        // Later: this may run in a handler of the notifier's own signal.
        readable->setEnabled(false);
        readable->deleteLater();
        readable = nullptr;
    }
    if (port < 0)
        return;
    // The lock file goes while the port is still ours: closed first, a pseudo-terminal's number
    // could pass to another terminal that our lock file would then seem to claim.
    lock.Release();
    ::tcsetattr(port, TCSANOW, &restored);
    ::ioctl(port, TIOCNXCL);
    ::close(port);
    port = -1;
}

std::string SerialControl::Input() {
    std::string bytes;
    char buffer[16384];
    const std::size_t most = handingOver ? kMostPerHandOver : kMostPerInput;
    while (port >= 0 && !vanished && bytes.size() < most) {
        const ssize_t n = ::read(port, buffer, sizeof buffer);
        if (n > 0)
            bytes.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && errno == EAGAIN)
            break;
        else
            vanished = true; // 0 after a hang-up, EIO once the far end is gone
    }
    taken += bytes.size();
    return bytes;
}

void SerialControl::onReadable() {
    readable->setEnabled(false);
    handOver(); // the first bytes after a quiet spell go at once
}

void SerialControl::handOver() {
    taken = 0;
    handingOver = true;
    emit OnComm();
    handingOver = false;
    if (port < 0)
        return; // a handler closed the port
    const Clock::time_point now = Clock::now();
    if (taken >= kFlood)
        lastFlood = now;
    if (vanished) {
        // Closed first: an open port that is gone reports itself again and again.
        close();
        emit Disconnected();
    } else if (taken == 0 || now - lastFlood < std::chrono::milliseconds(kPaceMs)) {
        // Nothing more came, or a flood that pacing would only slow: read as bytes come.
        pace.stop();
        readable->setEnabled(true);
    } else if (!pace.isActive()) {
        pace.start(kPaceMs); // it repeats while bytes keep coming
    }
}

} // namespace tolvar
