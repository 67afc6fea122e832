// SPDX-License-Identifier: MIT
#pragma once

#include "FrmMain.h"
#include "Pty.h"
#include "Wait.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include <gtest/gtest.h>

// What a modal box showed before the test pressed its OK button.
struct SeenBox {
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
};

// The real window on a pseudo-terminal, shown and active, logging into a fresh folder.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        path()->setText(logPath);
    }

    QPushButton* begin() const { return window.findChild<QPushButton*>("cmdBegin"); }
    QPushButton* stop() const { return window.findChild<QPushButton*>("cmdStop"); }
    QLineEdit* path() const { return window.findChild<QLineEdit*>("txtPath"); }
    QTimer* timer() const { return window.findChild<QTimer*>("tmrTimeout"); }

    bool idle() const {
        return begin()->isEnabled() && !stop()->isEnabled() && path()->isEnabled() &&
               !timer()->isActive() && !window.logging().IsLogging();
    }
    bool logging() const {
        return !begin()->isEnabled() && stop()->isEnabled() && !path()->isEnabled() &&
               timer()->isActive() && window.logging().IsLogging();
    }

    void send(const std::string& bytes) {
        pty.send(bytes, [] { QCoreApplication::processEvents(); });
    }
    QByteArray logBytes() const {
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Waits until the log holds `expected`, and returns what it holds then.
    QByteArray waitForLog(const QByteArray& expected) const {
        waitFor([&] { return logBytes() == expected; });
        return logBytes();
    }

    // Presses OK on the next modal box once it shows, and tells what it showed.
    static std::shared_ptr<SeenBox> answerNextBox() {
        auto seen = std::make_shared<SeenBox>();
        pollForBox(seen, 200);
        return seen;
    }

    Pty pty;
    QTemporaryDir dir;
    QString logPath = dir.filePath("log.txt");
    tolvar::FrmMain window{QString::fromStdString(pty.slavePath())};

  private:
    static void pollForBox(const std::shared_ptr<SeenBox>& seen, int triesLeft) {
        QTimer::singleShot(20, [seen, triesLeft] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                if (triesLeft > 0)
                    pollForBox(seen, triesLeft - 1);
                return;
            }
            *seen = {box->text(), box->windowTitle(), box->icon(), box->standardButtons(),
                     box->parentWidget()};
            box->button(QMessageBox::Ok)->click();
        });
    }
};
