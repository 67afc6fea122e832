// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>

class QDBusConnection;

namespace tolvar {

// Keeps the machine from suspending on idle while held, through logind's idle inhibitor; an
// explicit suspend by the user still goes ahead. Without a system bus or logind it does nothing.
// The window never waits for the bus.
class IdleSleepInhibitor final : public QObject {
  public:
    void Hold();
    void Release();

  private:
    void connectBus();
    void ask(const QDBusConnection& bus);

    bool wanted = false;
    // Connecting to the bus or waiting for logind's answer.
    bool busy = false;
    bool triedBus = false;
    // logind keeps the inhibitor for as long as this descriptor is open.
    QDBusUnixFileDescriptor inhibitor;
};

} // namespace tolvar
