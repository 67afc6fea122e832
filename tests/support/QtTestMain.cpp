// SPDX-License-Identifier: MIT
#include <QApplication>

#include <gtest/gtest.h>

// Tests of Qt parts need an application object for timers, signals and widgets.
int main(int argc, char* argv[]) {
    // Windows are drawn off screen unless a test run chooses a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
