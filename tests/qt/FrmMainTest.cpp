// SPDX-License-Identifier: MIT
#include "SerialControl.h"
#include "WindowFixture.h"

#include <QAccessible>
#include <QLabel>

namespace {

struct Placement {
    const char* name;
    QRect geometry;
    QString text;
    QString spoken; // the name a screen reader announces
};

TEST_F(WindowTest, startsIdleWithItsStoredDesign) {
    tolvar::FrmMain fresh(QString::fromStdString(pty.slavePath()));
    fresh.show();
    fresh.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&fresh));

    EXPECT_EQ(fresh.windowTitle(), "Tolvar data logger module");
    EXPECT_EQ(fresh.size(), QSize(268, 74));
    EXPECT_EQ(fresh.minimumSize(), fresh.maximumSize()) << "the window has a fixed size";
    EXPECT_FALSE(fresh.windowIcon().isNull());

    const Placement placements[] = {
        {"cmdBegin", {6, 46, 85, 23}, "&Begin logging", "Begin logging"},
        {"cmdStop", {182, 46, 81, 23}, "&Stop logging", "Stop logging"},
        {"Label1",
         {6, 4, 205, 15},
         "Select the location and name of the log file:",
         "Select the location and name of the log file:"},
        {"txtPath",
         {6, 20, 257, 19},
         "C:\\Windows\\Desktop\\logFile.txt",
         "Select the location and name of the log file:"},
    };
    for (const Placement& p : placements) {
        auto* widget = fresh.findChild<QWidget*>(p.name);
        ASSERT_NE(widget, nullptr) << p.name;
        EXPECT_EQ(widget->geometry(), p.geometry) << p.name;
        const QVariant text = widget->property("text");
        EXPECT_EQ(text.toString(), p.text) << p.name;
        // Shown whole: the text without its access-key marker fits inside the control.
        const QString shown = QString(p.text).remove('&');
        EXPECT_LE(widget->fontMetrics().horizontalAdvance(shown), p.geometry.width() - 6) << p.name;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(accessible, nullptr) << p.name;
        EXPECT_EQ(accessible->text(QAccessible::Name), p.spoken) << p.name;
    }

    auto* begin = fresh.findChild<QWidget*>("cmdBegin");
    auto* stop = fresh.findChild<QWidget*>("cmdStop");
    auto* label = fresh.findChild<QWidget*>("Label1");
    auto* path = fresh.findChild<QWidget*>("txtPath");
    EXPECT_EQ(begin->nextInFocusChain(), stop);
    EXPECT_EQ(stop->nextInFocusChain(), label);
    EXPECT_EQ(label->nextInFocusChain(), path);
    EXPECT_EQ(QApplication::focusWidget(), begin);
    EXPECT_TRUE(begin->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_TRUE(path->isEnabled());

    auto* timer = fresh.findChild<QTimer*>("tmrTimeout");
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 60000);
    EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
    EXPECT_FALSE(timer->isSingleShot());
    EXPECT_FALSE(timer->isActive());
}

TEST_F(WindowTest, clicksBeginAndStopLoggingAndTheLogHoldsTheLines) {
    QTest::mouseClick(begin(), Qt::LeftButton);
    ASSERT_TRUE(logging());
    EXPECT_EQ(QApplication::focusWidget(), stop());

    send("AB\r\nCD\r\nEF");
    EXPECT_EQ(waitForLog("AB\r\n\nCD\r\n"), "AB\r\n\nCD\r\n");

    QTest::mouseClick(stop(), Qt::LeftButton);
    EXPECT_TRUE(waitFor([&] { return idle(); }));
    EXPECT_EQ(QApplication::focusWidget(), begin());
    EXPECT_EQ(logBytes(), "AB\r\n\nCD\r\n") << "the unfinished line is not written";
}

TEST_F(WindowTest, accessKeysClickOnlyEnabledButtons) {
    QTest::keyClick(&window, Qt::Key_S, Qt::AltModifier);
    settle(300);
    EXPECT_TRUE(idle()) << "Alt+S does nothing while idle";

    QTest::keyClick(&window, Qt::Key_B, Qt::AltModifier);
    ASSERT_TRUE(waitFor([&] { return logging(); }));
    send("line\r");
    waitForLog("line\r\n");

    QTest::keyClick(&window, Qt::Key_B, Qt::AltModifier);
    settle(300);
    EXPECT_TRUE(logging()) << "Alt+B does nothing while logging";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    QTest::keyClick(&window, Qt::Key_S, Qt::AltModifier);
    ASSERT_TRUE(waitFor([&] { return idle(); }));
    EXPECT_EQ(logBytes(), "line\r\n");
}

TEST_F(WindowTest, altLetterNeverTypesIntoThePathButAltGrDoes) {
    struct Key {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* text; // what the keyboard layout produces
        const char* typed;
    };
    const Key keys[] = {
        {"Alt+S while idle", Qt::Key_S, Qt::AltModifier, "s", ""},
        {"Alt+X", Qt::Key_X, Qt::AltModifier, "x", ""},
        {"Alt+Shift+Q", Qt::Key_Q, Qt::AltModifier | Qt::ShiftModifier, "Q", ""},
        {"AltGr on a Windows keyboard", Qt::Key_At, Qt::ControlModifier | Qt::AltModifier, "@",
         "@"},
        {"AltGr on X11 (level 3 shift)", Qt::Key_At, Qt::GroupSwitchModifier, "@", "@"},
    };
    for (const Key& k : keys) {
        path()->setFocus();
        path()->setText(logPath);
        QTest::sendKeyEvent(QTest::Click, path(), k.key, k.text, k.modifiers);
        settle(150); // access keys click late
        EXPECT_EQ(path()->text().toStdString(), (logPath + k.typed).toStdString()) << k.name;
        EXPECT_TRUE(idle()) << k.name;
    }

    path()->setText(logPath);
    QTest::sendKeyEvent(QTest::Click, path(), Qt::Key_B, "b", Qt::AltModifier);
    EXPECT_TRUE(waitFor([&] { return logging(); })) << "Alt+B still clicks from the path field";
    EXPECT_EQ(path()->text().toStdString(), logPath.toStdString());
}

TEST_F(WindowTest, typedPathIsUsedAsTypedAndLockedWhileLogging) {
    const QString typed = dir.filePath("run 1.log");
    path()->clear();
    QTest::keyClicks(path(), typed);
    QTest::mouseClick(begin(), Qt::LeftButton);
    ASSERT_TRUE(logging());

    QTest::keyClicks(path(), "xyz");
    EXPECT_EQ(path()->text(), typed) << "the field cannot be edited while logging";
    send("1\r");
    waitFor([&] { return QFile(typed).size() == 3; });

    QTest::mouseClick(stop(), Qt::LeftButton);
    EXPECT_EQ(path()->text(), typed);
    QFile log(typed);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll(), "1\r\n");
}

// What the window adds to the logic's failures: a critical box with one OK button, owned by the
// window, which stays as it was.
TEST_F(WindowTest, aFailedBeginShowsACriticalBoxAndLeavesTheWindowAsItWas) {
    const QString typed = dir.filePath("missing/log.txt");
    path()->setText(typed);

    const auto seen = answerNextBox();
    QTest::mouseClick(begin(), Qt::LeftButton);

    EXPECT_EQ(seen->text, "Cannot open log file. Logging cannot begin.");
    EXPECT_EQ(seen->title, "Error");
    EXPECT_EQ(seen->icon, QMessageBox::Critical);
    EXPECT_EQ(seen->buttons, QMessageBox::Ok);
    EXPECT_EQ(seen->parent, &window);
    EXPECT_TRUE(idle());
    EXPECT_EQ(path()->text(), typed);
    tolvar::SerialControl other(QString::fromStdString(pty.slavePath()));
    EXPECT_EQ(other.PortOpen(true), 0) << "the port was closed again";
}

} // namespace
