// SPDX-License-Identifier: MIT
#include "BoundedBus.h"
#include "FrmMain.h"

#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char* argv[]) {
    // Qt connects to the session bus on this thread while it makes the window (accessibility)
    // and at the first Begin (the taskbar entry), and waits for it without a bound. A session bus
    // that takes connections and does not answer is left out, as if there were none: an address
    // that fails at once stands in for it.
    if (tolvar::BoundedBus::SessionBusHangs())
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null");
    QApplication app(argc, argv);
    int status = 0;
    {
        tolvar::FrmMain frmMain;
        frmMain.show();
        status = QApplication::exec();
    }
    // The log and the port are closed now. What is left is Qt's own teardown, in which its
    // accessibility bridge waits for Qt's D-Bus thread without a bound: were that thread ever held
    // by a bus that hangs, the process, and the port's lock with it, would live on for good. The
    // teardown gets a second, then the process ends as it would have.
    std::thread([status] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::_Exit(status);
    }).detach();
    return status;
}
