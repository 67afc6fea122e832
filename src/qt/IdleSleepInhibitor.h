// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QThread>

#include <memory>

class QDBusConnection;

namespace tolvar {

// Keeps the machine from suspending on idle while held, through logind's idle inhibitor; an
// explicit suspend by the user still goes ahead. Without a system bus or logind it does nothing.
// The window never waits for the bus.
class IdleSleepInhibitor final : public QObject {
  public:
    ~IdleSleepInhibitor() override;

    void Hold();
    void Release();

  private:
    void connectBus();
    void ask(const QDBusConnection& bus);

    bool wanted = false;
    // Connecting to the bus or waiting for logind's answer.
    bool busy = false;
    bool triedBus = false;
    // Connects to the system bus, once; kept to the end, as one that a stalled bus holds can
    // never be ended.
    std::unique_ptr<QThread> connecting;
    // logind keeps the inhibitor for as long as this descriptor is open.
    QDBusUnixFileDescriptor inhibitor;
};

} // namespace tolvar
