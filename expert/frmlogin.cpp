#include "frmlogin.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

#include "uisupport/twips.h"

namespace meridan {

namespace {

const QString Caption = QStringLiteral("Expert Password");
const QString InvalidPassword = QStringLiteral("Invalid Password. Please try again!");

QFont arial(double points) {
    return ui::arial(points, false);
}

// A fixed dialog frame: title and close button, no minimise, maximise or help button. Qt::Dialog
// also for a dialog without a parent, so the window system keeps it out of the task bar.
constexpr Qt::WindowFlags DialogFlags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                                        Qt::MSWindowsFixedSizeDialogHint;

}  // namespace

frmLogin::frmLogin(MessageService& messages, QWidget* parent)
    : QDialog(parent, DialogFlags), messages_(messages) {
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(Caption);
    setFont(arial(8.25));
    setFixedSize(ui::twipsToPixels(ClientWidthTwips), ui::twipsToPixels(ClientHeightTwips));

    lblLabels1 = ui::place(new QLabel(QStringLiteral("Please enter password:"), this), "lblLabels",
                           1, 840, 180, 2040, 240, arial(9.75));
    txtPassword =
        ui::place(new QLineEdit(this), "txtPassword", -1, 1080, 525, 1485, 345, arial(14.25));
    txtPassword->setEchoMode(QLineEdit::Password);
    // The platform's own mask is a dot; the box shows an asterisk for every character.
    txtPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));

    cmdOK = ui::place(new QPushButton(QStringLiteral("OK"), this), "cmdOK", -1, 495, 1020, 1140,
                      390, font());
    cmdOK->setDefault(true);
    cmdCancel = ui::place(new QPushButton(QStringLiteral("Abbrechen"), this), "cmdCancel", -1, 2100,
                          1020, 1140, 390, font());

    setTabOrder(txtPassword, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    txtPassword->setFocus(Qt::OtherFocusReason);

    connect(cmdOK, &QPushButton::clicked, this, &frmLogin::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmLogin::cmdCancel_Click);
}

void frmLogin::cmdOK_Click() {
    if (txtPassword->text() == ExpertPassword) {
        answer_ = Answer::Password;
        accept();
        return;
    }
    messages_.show(InvalidPassword, Caption, MessageIcon::None, MessageButtons::Ok);
    txtPassword->setFocus(Qt::OtherFocusReason);
}

void frmLogin::cmdCancel_Click() {
    answer_ = Answer::Cancel;
    reject();
}

void frmLogin::keyPressEvent(QKeyEvent* event) {
    // Esc is the Cancel button. QDialog would only reject(), which is also what the window's
    // close button does, and that one must leave the flag alone.
    if (event->matches(QKeySequence::Cancel) && cmdCancel->isEnabled()) {
        cmdCancel->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmLogin::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    // In the middle of the screen, not over the window that opened it.
    const QWidget* owner = parentWidget() ? parentWidget()->window() : this;
    if (const QScreen* s = owner->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}

}  // namespace meridan
