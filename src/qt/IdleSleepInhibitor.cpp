// SPDX-License-Identifier: MIT
#include "IdleSleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace tolvar {

namespace {

// The window never waits for the answer; this only bounds how long a lost one is waited for.
constexpr int kReplyTimeout = 5000;

} // namespace

void IdleSleepInhibitor::Hold() {
    wanted = true;
    if (asking || inhibitor.isValid())
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    QDBusMessage inhibit = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("idle") << QStringLiteral("Tolvar data logger module")
            << QStringLiteral("Logging serial port 1") << QStringLiteral("block");
    asking = true;
    auto* answer = new QDBusPendingCallWatcher(bus.asyncCall(inhibit, kReplyTimeout), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this, [this, answer] {
        asking = false;
        // An error (no logind, no right to inhibit) leaves logging as it is, without a word.
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *answer;
        if (wanted && reply.isValid())
            inhibitor = reply.value();
        answer->deleteLater();
    });
}

void IdleSleepInhibitor::Release() {
    wanted = false;
    inhibitor = QDBusUnixFileDescriptor();
}

} // namespace tolvar
