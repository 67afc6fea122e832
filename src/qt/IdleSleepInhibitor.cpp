// SPDX-License-Identifier: MIT
#include "IdleSleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDeadlineTimer>

namespace tolvar {

namespace {

const QString kConnection = QStringLiteral("tolvar_idle_sleep");
// Only bounds how long a lost answer is waited for: nothing waits on it.
constexpr int kReplyTimeout = 5000;
// How long the end of the program waits for a connection still being made.
constexpr int kExitWait = 100;

} // namespace

IdleSleepInhibitor::~IdleSleepInhibitor() {
    // A thread still waiting for a stalled bus cannot be ended: the process's end takes it.
    if (connecting != nullptr && !connecting->wait(QDeadlineTimer(kExitWait)))
        static_cast<void>(connecting.release());
}

void IdleSleepInhibitor::Hold() {
    wanted = true;
    if (busy || inhibitor.isValid())
        return;
    const QDBusConnection bus(kConnection);
    if (bus.isConnected())
        ask(bus);
    else if (!triedBus)
        connectBus();
}

void IdleSleepInhibitor::Release() {
    wanted = false;
    inhibitor = QDBusUnixFileDescriptor();
}

void IdleSleepInhibitor::connectBus() {
    // Connecting blocks until the bus answers, and a stalled bus never does: the window must not
    // wait for it. A bus that is not there fails at once, and is not tried again.
    triedBus = true;
    busy = true;
    connecting.reset(QThread::create(
        [] { QDBusConnection::connectToBus(QDBusConnection::SystemBus, kConnection); }));
    connect(connecting.get(), &QThread::finished, this, [this] {
        busy = false;
        if (wanted)
            Hold();
    });
    connecting->start();
}

void IdleSleepInhibitor::ask(const QDBusConnection& bus) {
    QDBusMessage inhibit = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("idle") << QStringLiteral("Tolvar data logger module")
            << QStringLiteral("Logging serial port 1") << QStringLiteral("block");
    busy = true;
    auto* answer = new QDBusPendingCallWatcher(bus.asyncCall(inhibit, kReplyTimeout), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this, [this, answer] {
        busy = false;
        // An error (no logind, no right to inhibit) leaves logging as it is, without a word.
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *answer;
        if (wanted && reply.isValid())
            inhibitor = reply.value();
        answer->deleteLater();
    });
}

} // namespace tolvar
