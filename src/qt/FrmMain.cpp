// SPDX-License-Identifier: MIT
#include "FrmMain.h"

#include "LauncherEntry.h"
#include "ui_FrmMain.h"

#include <QKeyEvent>
#include <QMessageBox>

namespace tolvar {

FrmMain::FrmMain(const QString& portName, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<::Ui::FrmMain>()), commMain(portName) {
    ui->setupUi(this);
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/tolvar-16.xpm"));
    icon.addFile(QStringLiteral(":/icons/tolvar-32.xpm"));
    setWindowIcon(icon);

    tmrTimeout.setObjectName(QStringLiteral("tmrTimeout"));
    tmrTimeout.setParent(this);
    tmrTimeout.setInterval(LoggingControl::kTickInterval);
    tmrTimeout.setTimerType(Qt::PreciseTimer);

    ui->txtPath->installEventFilter(this);

    connect(ui->cmdBegin, &QPushButton::clicked, this, [this] { logic.BeginLogging(); });
    connect(ui->cmdStop, &QPushButton::clicked, this, [this] { logic.StopLogging(); });
    connect(&commMain, &SerialControl::OnComm, this, [this] { logic.CapturePortInput(); });
    connect(&commMain, &SerialControl::Disconnected, this, [this] { logic.PortDisconnected(); });
    connect(&tmrTimeout, &QTimer::timeout, this, [this] { logic.CountTimeoutTick(); });
}

FrmMain::~FrmMain() = default;

void FrmMain::closeEvent(QCloseEvent* event) {
    logic.WindowClosing();
    QWidget::closeEvent(event);
}

bool FrmMain::eventFilter(QObject* watched, QEvent* event) {
    // Alt+letter is an access key: when it clicks nothing (Alt+S while idle) the field must not
    // take the letter either. Ctrl+Alt is AltGr on Windows keyboards and still types; editing keys
    // held with Alt (no printable text) keep their meaning.
    if (watched == ui->txtPath && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers held = key->modifiers();
        if (held.testFlag(Qt::AltModifier) && !held.testFlag(Qt::ControlModifier) &&
            !key->text().isEmpty() && key->text().front().isPrint())
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

std::string FrmMain::PathText() const {
    return ui->txtPath->text().toStdString();
}

void FrmMain::SetEnabled(Switch part, bool enabled) {
    switch (part) {
    case Switch::tmrTimeout:
        if (enabled) {
            tmrTimeout.start();
            idleSleep.Hold();
        } else {
            tmrTimeout.stop();
            idleSleep.Release();
        }
        break;
    case Switch::cmdBegin:
        ui->cmdBegin->setEnabled(enabled);
        // Every control was disabled while the run's last records were written, and the focus
        // went with them.
        if (enabled && (focusWidget() == nullptr || !focusWidget()->isEnabled()))
            ui->cmdBegin->setFocus();
        break;
    case Switch::cmdStop:
        ui->cmdStop->setEnabled(enabled);
        break;
    case Switch::txtPath:
        ui->txtPath->setEnabled(enabled);
        break;
    }
}

void FrmMain::ShowCritical(const std::string& text, const std::string& title) {
    QMessageBox::critical(this, QString::fromStdString(title), QString::fromStdString(text));
}

void FrmMain::ShowProgress(std::int16_t ticks) {
    LauncherEntry::ShowProgress(static_cast<double>(ticks) / LoggingControl::kTickLimit);
}

void FrmMain::HideProgress() {
    LauncherEntry::HideProgress();
}

void FrmMain::AskAttention() {
    attention.Ask();
}

void FrmMain::PostLogWriterCheck() {
    QMetaObject::invokeMethod(
        this, [this] { logic.CheckLogWriter(); }, Qt::QueuedConnection);
}

} // namespace tolvar
