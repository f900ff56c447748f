#pragma once

#include <QDialog>
#include <QString>

#include "messages/messageservice.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace meridan {

// Asks for the expert password. The caller opens a fresh dialog modally and reads its answer
// once it has closed: the correct password, Cancel (or Esc), or neither (the dialog was closed
// another way). Whether the password counts as given is then the caller's: true after the
// password, false after Cancel, as it was otherwise.
class frmLogin : public QDialog {
    Q_OBJECT
  public:
    // Compared exactly with what was typed, nothing trimmed.
    static inline const QString ExpertPassword = QStringLiteral("41986");

    static constexpr int ClientWidthTwips = 3750;
    static constexpr int ClientHeightTwips = 1545;

    explicit frmLogin(MessageService& messages, QWidget* parent = nullptr);

    enum class Answer { None, Password, Cancel };
    Answer answer() const { return answer_; }
    // Whether the password counts as given after this dialog, when it did before.
    bool passwordAccepted(bool before) const {
        return answer_ == Answer::None ? before : answer_ == Answer::Password;
    }

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

    MessageService& messages_;
    Answer answer_ = Answer::None;
};

}  // namespace meridan
