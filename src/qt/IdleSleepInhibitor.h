// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>

namespace tolvar {

// Keeps the machine from suspending on idle while held, through logind's idle inhibitor; an
// explicit suspend by the user still goes ahead. Without a system bus or logind it does nothing.
class IdleSleepInhibitor final : public QObject {
  public:
    void Hold();
    void Release();

  private:
    bool wanted = false;
    bool asking = false;
    // logind keeps the inhibitor for as long as this descriptor is open.
    QDBusUnixFileDescriptor inhibitor;
};

} // namespace tolvar
