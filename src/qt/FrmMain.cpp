#include "FrmMain.h"

#include "ui_FrmMain.h"

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
    tmrTimeout.setInterval(kTimeoutInterval);
    tmrTimeout.setTimerType(Qt::PreciseTimer);

    connect(ui->cmdBegin, &QPushButton::clicked, this, [this] { logic.BeginLogging(); });
    connect(ui->cmdStop, &QPushButton::clicked, this, [this] { logic.StopLogging(); });
    connect(&commMain, &SerialControl::OnComm, this, [this] { logic.CapturePortInput(); });
    connect(&commMain, &SerialControl::Disconnected, this, [this] { logic.PortDisconnected(); });
    connect(&tmrTimeout, &QTimer::timeout, this, [this] { logic.CountTimeoutTick(); });
}

FrmMain::~FrmMain() = default;

std::string FrmMain::PathText() const {
    return ui->txtPath->text().toStdString();
}

void FrmMain::SetEnabled(Switch part, bool enabled) {
    switch (part) {
    case Switch::tmrTimeout:
        enabled ? tmrTimeout.start() : tmrTimeout.stop();
        break;
    case Switch::cmdBegin:
        ui->cmdBegin->setEnabled(enabled);
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

} // namespace tolvar
