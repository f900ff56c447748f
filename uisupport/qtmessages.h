#pragma once

#include <QPointer>
#include <QWidget>

#include "messages/messageservice.h"

namespace meridan::ui {

// Message boxes of the windows: modal QMessageBox over the main window.
class QtMessageService final : public MessageService {
  public:
    void setParentWindow(QWidget* parent) { parent_ = parent; }
    MessageResult show(const QString& text, const QString& title, MessageIcon icon,
                       MessageButtons buttons) override;
    void restoreCursor() override;

  private:
    QPointer<QWidget> parent_;
};

}  // namespace meridan::ui
