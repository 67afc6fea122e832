// SPDX-License-Identifier: MIT
#include "FrmMain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    tolvar::FrmMain frmMain;
    frmMain.show();
    return QApplication::exec();
}
