// SPDX-License-Identifier: MIT
// Runs with QT_SCALE_FACTOR=2: the fixed-size window must be drawn at twice the size, whole.
#include "FrmMain.h"
#include "Pty.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Text is drawn dark grey to black; frames are lighter or, when focused, coloured.
bool isText(QRgb pixel) {
    return qGray(pixel) < 110 && std::abs(qRed(pixel) - qBlue(pixel)) < 24;
}

// Columns of the window picture, in device pixels, that hold text pixels within `area`.
std::vector<int> inkColumns(const QImage& picture, const QRect& area) {
    std::vector<int> columns;
    for (int x = area.left(); x <= area.right(); ++x)
        for (int y = area.top(); y <= area.bottom(); ++y)
            if (isText(picture.pixel(x, y))) {
                columns.push_back(x);
                break;
            }
    return columns;
}

QRect toDevice(const QRect& logical, qreal ratio) {
    return {qRound(logical.x() * ratio), qRound(logical.y() * ratio),
            qRound(logical.width() * ratio), qRound(logical.height() * ratio)};
}

// Where each control's text may be drawn, in window coordinates: text reaching an edge of it is
// cut.
QRect textRoom(QWidget* widget) {
    QRect room = widget->rect();
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    } else if (qobject_cast<QLineEdit*>(widget) != nullptr) {
        const int frame =
            widget->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, widget);
        const int margin = 2; // QLineEdit's own space between its frame and its text
        room = widget->rect().adjusted(frame + margin, frame, -frame - margin, -frame);
    }
    return room.translated(widget->pos());
}

TEST(ScaledWindow, drawsEveryControlWholeAtTwiceTheSize) {
    ASSERT_EQ(qgetenv("QT_SCALE_FACTOR"), "2") << "run this test with QT_SCALE_FACTOR=2";
    Pty pty;
    tolvar::FrmMain window(QString::fromStdString(pty.slavePath()));
    // Dark text everywhere, so the disabled button's text is seen too.
    window.findChild<QWidget*>("cmdStop")->setEnabled(true);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    EXPECT_EQ(window.size(), QSize(268, 74)) << "the layout keeps its logical size";
    const QPixmap shot = window.grab();
    ASSERT_EQ(shot.devicePixelRatio(), 2.0);
    EXPECT_EQ(shot.size(), QSize(536, 148)) << "the picture is twice the size, not cropped";
    const QImage picture = shot.toImage();

    for (const char* name : {"cmdBegin", "cmdStop", "Label1", "txtPath"}) {
        auto* widget = window.findChild<QWidget*>(name);
        ASSERT_NE(widget, nullptr) << name;
        const QRect room = toDevice(textRoom(widget), 2.0);
        ASSERT_TRUE(picture.rect().contains(room)) << name << " lies outside the window";
        const std::vector<int> ink = inkColumns(picture, room);
        ASSERT_GT(ink.size(), 20u) << name << " shows no text";
        // Left-aligned text starts at the left edge by design; cut text would reach the right one.
        EXPECT_LT(ink.back(), room.right() - 1)
            << name << " text reaches the right edge of its room";
        if (qobject_cast<QPushButton*>(widget) != nullptr)
            EXPECT_GT(ink.front(), room.left() + 1)
                << name << " text reaches the left edge of its room";
    }
}

} // namespace
