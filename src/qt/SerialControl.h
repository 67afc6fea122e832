// SPDX-License-Identifier: MIT
#pragma once

#include "PortLock.h"
#include "SerialPort.h"

#include <QObject>
#include <QSerialPort>
#include <QString>

namespace tolvar {

// Port 1 with its stored settings: 19200 bit/s, 8 data bits, no parity, one stop bit.
class SerialControl final : public QObject, public SerialPort {
    Q_OBJECT

  public:
    // Port 1 of this system; tests hand in a pseudo-terminal instead.
    static QString port1Name();

    explicit SerialControl(const QString& portName = port1Name(), QObject* parent = nullptr);

    int PortOpen(bool open) override;
    std::string Input() override;

  signals:
    // Bytes have arrived; raised on the thread that owns the control.
    void OnComm();
    // The device went away while open; the port has been closed already.
    void Disconnected();

  private:
    void onError(QSerialPort::SerialPortError error);

    // What other serial programs see of our claim on the port; it outlives the port, which
    // Qt closes on destruction.
    PortLock lock;
    QSerialPort port;
};

} // namespace tolvar
