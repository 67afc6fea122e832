// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

class QWidget;

namespace tolvar {

// Makes the taskbar button of a window that is not the active one ask for attention until the
// window is activated.
class WindowAttention final : public QObject {
  public:
    explicit WindowAttention(QWidget& window);

    void Ask();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QWidget& window;
    bool urgent = false;
};

} // namespace tolvar
