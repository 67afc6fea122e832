// SPDX-License-Identifier: MIT
#pragma once

#include "PortLock.h"
#include "SerialPort.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <memory>
#include <termios.h>

namespace tolvar {

// Port 1 with its stored settings: 19200 bit/s, 8 data bits, no parity, one stop bit.
//
// A logger needs no echo, so the control lets bytes gather: the first byte after a quiet spell
// starts a pacing timer, and only when it runs out is OnComm raised. While bytes keep coming the
// timer runs on; the first read that finds nothing hands the watch back to the descriptor. At the
// line's rate that is one wakeup per pacing interval instead of one per piece the driver hands
// over, and none at all while the device is silent.
class SerialControl final : public QObject, public SerialPort {
    Q_OBJECT

  public:
    // Bytes wait at most this long after arriving before OnComm is raised.
    static constexpr int kPaceMs = 40;

    // Port 1 of this system; tests hand in a pseudo-terminal instead.
    static QString port1Name();

    explicit SerialControl(const QString& portName = port1Name(), QObject* parent = nullptr);
    ~SerialControl() override;

    // Returns 0, or the errno of what failed; EBUSY when another program holds the port.
    int PortOpen(bool open) override;
    // Reads the port now: everything received so far, so a caller about to close loses nothing.
    std::string Input() override;

  signals:
    // Bytes have arrived; raised on the thread that owns the control.
    void OnComm();
    // The device went away while open; the port has been closed already.
    void Disconnected();

  private:
    int open();
    void close();
    void onReadable();
    void onPaced();

    std::string devicePath;
    PortLock lock;
    int port = -1;
    termios restored{}; // the settings the port had before we opened it
    std::unique_ptr<QSocketNotifier> readable;
    QTimer pace;
    std::size_t taken = 0; // bytes Input read since the pacing timer last ran out
    bool vanished = false;
};

} // namespace tolvar
