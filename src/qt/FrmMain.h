// SPDX-License-Identifier: MIT
#pragma once

#include "IdleSleepInhibitor.h"
#include "LoggingControl.h"
#include "LoggingWindow.h"
#include "SerialControl.h"
#include "WindowAttention.h"

#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class FrmMain;
}

namespace tolvar {

// The program's one window: its controls, the timer and serial control beside them, and the
// routing of their events to the logging logic.
class FrmMain final : public QWidget, private LoggingWindow {
    Q_OBJECT

  public:
    explicit FrmMain(const QString& portName = SerialControl::port1Name(),
                     QWidget* parent = nullptr);
    ~FrmMain() override;

    const LoggingControl& logging() const { return logic; }

  protected:
    // Every complete line the port has received reaches the log before the program ends.
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::string PathText() const override;
    void SetEnabled(Switch part, bool enabled) override;
    void ShowCritical(const std::string& text, const std::string& title) override;
    void ShowProgress(std::int16_t ticks) override;
    void HideProgress() override;
    void AskAttention() override;
    void PostLogWriterCheck() override;

    std::unique_ptr<::Ui::FrmMain> ui;
    SerialControl commMain;
    QTimer tmrTimeout;
    // Held exactly while tmrTimeout runs.
    IdleSleepInhibitor idleSleep;
    WindowAttention attention{*this};
    LoggingControl logic{commMain, *this};
};

} // namespace tolvar
