// SPDX-License-Identifier: MIT
// The smallest Qt Widgets program with one button: the yardstick for the logger's start-up time
// and memory (scripts/bench).

#include <QApplication>
#include <QPushButton>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QPushButton button(QStringLiteral("Begin logging"));
    // The logger's title, so that the same test harness starts and finds both programs.
    button.setWindowTitle(QStringLiteral("Tolvar data logger module"));
    button.show();
    return QApplication::exec();
}
