// SPDX-License-Identifier: MIT
// Holds a serial port open from another process until its standard input closes.
#include "SerialControl.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    tolvar::SerialControl port(QString::fromLocal8Bit(argv[1]));
    if (port.PortOpen(true) != 0)
        return 1;
    std::puts("open");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
