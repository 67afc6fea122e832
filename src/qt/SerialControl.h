// SPDX-License-Identifier: MIT
#pragma once

#include "PortLock.h"
#include "SerialPort.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <chrono>
#include <termios.h>

namespace tolvar {

// Port 1 with its stored settings: 19200 bit/s, 8 data bits, no parity, one stop bit.
//
// A logger needs no echo, so the control lets bytes gather: the first bytes after a quiet spell
// are handed out at once, and from then on OnComm is raised once a pacing interval while bytes
// keep coming; the first read that finds nothing hands the watch back to the descriptor. At the
// line's rate that is one wakeup per pacing interval instead of one per piece the driver hands
// over, and none at all while the device is silent.
class SerialControl final : public QObject, public SerialPort {
    Q_OBJECT

  public:
    // Bytes wait at most this long after arriving before OnComm is raised.
    static constexpr int kPaceMs = 70;

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
    using Clock = std::chrono::steady_clock;

    int open();
    void close();
    void onReadable();
    void handOver();

    std::string devicePath;
    PortLock lock;
    int port = -1;
    termios restored{};                  // the settings the port had before we opened it
    QSocketNotifier* readable = nullptr; // a child, while the port is open
    QTimer pace;
    std::size_t taken = 0;       // bytes Input read since the last hand-over began
    Clock::time_point lastFlood; // when a hand-over last took more than the line could send
    bool handingOver = false;    // OnComm is being raised
    bool vanished = false;
};

} // namespace tolvar
