// SPDX-License-Identifier: MIT
#include "SerialControl.h"

#include <sys/file.h>

namespace tolvar {

QString SerialControl::port1Name() {
    return QStringLiteral("/dev/ttyS0");
}

SerialControl::SerialControl(const QString& portName, QObject* parent)
    : QObject(parent), lock(portName.toStdString()) {
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
        lock.Release();
        return 0;
    }
    // Qt's lock check takes a lock file without its own application name for stale and
    // overwrites it, so another program's lock is judged here first. Without a lock folder we
    // may write, the port is opened all the same, as Qt does.
    if (lock.Take() == PortLock::Outcome::inUse)
        return QSerialPort::PermissionError;
    if (!port.open(QIODevice::ReadOnly)) {
        lock.Release();
        return port.error() != QSerialPort::NoError ? port.error() : QSerialPort::OpenError;
    }
    // Common serial tools claim a port with flock, which Qt's own lock file does not see.
    if (::flock(static_cast<int>(port.handle()), LOCK_EX | LOCK_NB) != 0) {
        PortOpen(false);
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
