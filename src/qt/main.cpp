// SPDX-License-Identifier: MIT
#include "FrmMain.h"

#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char* argv[]) {
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
