// SPDX-License-Identifier: MIT
#include "SerialControl.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sys/file.h>
#include <unistd.h>

namespace tolvar {

namespace {

// Where serial tools that follow the lock-file convention, Qt among them, announce that they hold
// a port: LCK..ttyS0 for /dev/ttyS0. Qt names a port by its path below /dev with '/' turned into
// '_' (LCK..pts_3 for /dev/pts/3); we look at the very file Qt takes.
QStringList lockFilePaths(QString portName) {
    portName.replace(QLatin1Char('/'), QLatin1Char('_'));
    // On many systems one is a link to the other; older tools only know /var/lock.
    return {QStringLiteral("/var/lock/LCK..") + portName,
            QStringLiteral("/run/lock/LCK..") + portName};
}

// The owner named by a lock file: a space-padded decimal PID ending its first line (the usual
// ten digits and a newline, or the first line of Qt's own lock), or an older tool's 4-byte binary
// PID. 0 when the content names no process.
pid_t lockOwner(const QByteArray& content) {
    const QByteArray firstLine = content.left(content.indexOf('\n')).trimmed();
    bool decimal = false;
    const long long pid = firstLine.toLongLong(&decimal);
    if (decimal)
        return pid > 0 && pid <= INT32_MAX ? static_cast<pid_t>(pid) : 0;
    if (content.size() == sizeof(std::int32_t)) {
        std::int32_t binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    return 0;
}

// Whether another living program holds the port by its lock file. A lock whose owner is dead is
// removed, as the convention allows, so the port is taken over.
bool lockedByAnotherProgram(const QString& portName) { // as QSerialPort names it
    for (const QString& path : lockFilePaths(portName)) {
        QFile lock(path);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const pid_t owner = lockOwner(lock.read(64));
        lock.close();
        if (owner == 0 || owner == ::getpid())
            continue; // ours, or nothing we can judge: Qt's own check decides
        if (::kill(owner, 0) == 0 || errno == EPERM)
            return true;
        QFile::remove(path);
    }
    return false;
}

} // namespace

QString SerialControl::port1Name() {
    return QStringLiteral("/dev/ttyS0");
}

SerialControl::SerialControl(const QString& portName, QObject* parent) : QObject(parent) {
    port.setPortName(portName);
    port.setBaudRate(QSerialPort::Baud19200);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setReadBufferSize(0); // unlimited: nothing received is dropped
    connect(&port, &QSerialPort::readyRead, this, &SerialControl::OnComm);
    connect(&port, &QSerialPort::errorOccurred, this, &SerialControl::onError);
}

int SerialControl::PortOpen(bool open) {
    if (!open) {
        if (port.isOpen())
            port.close();
        return 0;
    }
    // Qt's lock check takes a lock file without its own application name for stale and
    // overwrites it, then deletes it on close: the other program would lose its claim.
    if (lockedByAnotherProgram(port.portName()))
        return QSerialPort::PermissionError;
    if (!port.open(QIODevice::ReadOnly))
        return port.error() != QSerialPort::NoError ? port.error() : QSerialPort::OpenError;
    // Common serial tools claim a port with flock, which Qt's own lock file does not see.
    if (::flock(static_cast<int>(port.handle()), LOCK_EX | LOCK_NB) != 0) {
        port.close();
        return QSerialPort::PermissionError;
    }
    return 0;
}

std::string SerialControl::Input() {
    const QByteArray bytes = port.readAll();
    return bytes.toStdString();
}

void SerialControl::onError(QSerialPort::SerialPortError error) {
    if ((error != QSerialPort::ReadError && error != QSerialPort::ResourceError) || !port.isOpen())
        return;
    // Hand over what arrived before the device went, then close at once: an open port
    // re-reports the error in a tight loop.
    if (port.bytesAvailable() > 0)
        emit OnComm();
    PortOpen(false);
    emit Disconnected();
}

} // namespace tolvar
