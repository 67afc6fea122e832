// SPDX-License-Identifier: MIT
#include "SerialControl.h"
#include "WindowFixture.h"

namespace {

class TimeLimit : public WindowTest {
  protected:
    void tick(int times) {
        for (int i = 0; i < times; ++i)
            QMetaObject::invokeMethod(timer(), "timeout");
    }
};

TEST_F(TimeLimit, theNinetiethTickStopsLoggingWhileDataKeepsComing) {
    QTest::mouseClick(begin(), Qt::LeftButton);
    QByteArray expected;
    for (int i = 0; i < 89; ++i) {
        const QByteArray line = "reading " + QByteArray::number(i) + "\r";
        send(line.toStdString());
        expected += line.chopped(1) + "\r\n";
        ASSERT_EQ(waitForLog(expected), expected);
        tick(1);
    }
    EXPECT_EQ(window.logging().Ticks(), 89);
    EXPECT_TRUE(logging());

    tick(1);
    EXPECT_EQ(window.logging().Ticks(), 90);
    EXPECT_TRUE(idle());
    EXPECT_EQ(QApplication::focusWidget(), begin());

    tolvar::SerialControl other(QString::fromStdString(pty.slavePath()));
    EXPECT_EQ(other.PortOpen(true), 0) << "the port is released";
    other.PortOpen(false);
    send("late\r");
    settle();
    EXPECT_EQ(logBytes(), expected);
}

TEST_F(TimeLimit, eachBeginGetsTheFullNinetyTicks) {
    QTest::mouseClick(begin(), Qt::LeftButton);
    tick(90);
    ASSERT_TRUE(idle());

    QTest::mouseClick(begin(), Qt::LeftButton);
    EXPECT_EQ(window.logging().Ticks(), 0);
    tick(30);
    QTest::mouseClick(stop(), Qt::LeftButton);

    QTest::mouseClick(begin(), Qt::LeftButton);
    tick(89);
    EXPECT_TRUE(logging());
    tick(1);
    EXPECT_TRUE(idle());
}

} // namespace
