#pragma once

#include <QDialog>
#include <QString>

#include "messages/messageservice.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace meridan {

// Asks for the expert password. The caller opens a fresh dialog modally and reads
// `passwordAccepted` once it has closed: true after the correct password, false after Cancel
// or Esc, unchanged when the dialog was closed any other way.
class frmLogin : public QDialog {
    Q_OBJECT
  public:
    // Compared exactly with what was typed, nothing trimmed.
    static inline const QString ExpertPassword = QStringLiteral("41986");

    static constexpr int ClientWidthTwips = 3750;
    static constexpr int ClientHeightTwips = 1545;

    frmLogin(bool& passwordAccepted, MessageService& messages, QWidget* parent = nullptr);

    QLabel* lblLabels1 = nullptr;
    QLineEdit* txtPassword = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void cmdOK_Click();
    void cmdCancel_Click();

    bool& passwordAccepted_;
    MessageService& messages_;
};

}  // namespace meridan
