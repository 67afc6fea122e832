// SPDX-License-Identifier: MIT
#include "LauncherEntry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

namespace tolvar::LauncherEntry {

namespace {

// Task managers and docks listen for this signal from any sender and match the entry to the
// program's window by the menu entry's name.
void update(const QVariantMap& properties) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage update = QDBusMessage::createSignal(
        QStringLiteral("/org/example/tolvar/logger"),
        QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    update << QStringLiteral("application://org.example.tolvar.logger.desktop") << properties;
    bus.send(update);
}

} // namespace

void ShowProgress(double done) {
    update({{QStringLiteral("progress"), done}, {QStringLiteral("progress-visible"), true}});
}

void HideProgress() {
    update({{QStringLiteral("progress-visible"), false}});
}

} // namespace tolvar::LauncherEntry
