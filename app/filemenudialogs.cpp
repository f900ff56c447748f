#include "filemenudialogs.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace meridan {

namespace {
QDialogButtonBox* okCancel(QDialog* dialog) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}
}  // namespace

BackupDialog::BackupDialog(const QString& unit, const QList<plan::BackupFile>& backups,
                           QWidget* parent)
    : QDialog(parent), backups_(backups) {
    setObjectName(QStringLiteral("BackupDialog"));
    setWindowTitle(QStringLiteral("Restore Backup"));
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        QStringLiteral("Backups of %1, newest first. The one chosen is opened like a plan: "
                       "nothing is sent until Save.")
            .arg(unit),
        this);
    text->setWordWrap(true);
    layout->addWidget(text);
    List_Backups = new QListWidget(this);
    List_Backups->setObjectName(QStringLiteral("List_Backups"));
    for (const plan::BackupFile& b : backups_) {
        List_Backups->addItem(
            QStringLiteral("%1    %2")
                .arg(QLocale::c().toString(b.taken, QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                     QFileInfo(b.path).fileName()));
    }
    List_Backups->setCurrentRow(0);
    List_Backups->setMinimumWidth(List_Backups->sizeHintForColumn(0) + 40);
    connect(List_Backups, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    layout->addWidget(List_Backups);
    layout->addWidget(okCancel(this));
}

QString BackupDialog::chosen() const {
    const int row = List_Backups->currentRow();
    return row >= 0 && row < backups_.size() ? backups_[row].path : QString();
}

ReportDialog::ReportDialog(const QString& installer, const QString& site, const QString& notes,
                           QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("ReportDialog"));
    setWindowTitle(QStringLiteral("Save Report"));
    Text_Installer = new QLineEdit(installer, this);
    Text_Installer->setObjectName(QStringLiteral("Text_Installer"));
    Text_Site = new QLineEdit(site, this);
    Text_Site->setObjectName(QStringLiteral("Text_Site"));
    Text_Notes = new QPlainTextEdit(notes, this);
    Text_Notes->setObjectName(QStringLiteral("Text_Notes"));
    Text_Notes->setTabChangesFocus(true);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Installer:"), Text_Installer);
    form->addRow(QStringLiteral("&Site:"), Text_Site);
    form->addRow(QStringLiteral("&Notes:"), Text_Notes);
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(QStringLiteral("The report reads the unit now and shows what it "
                                           "holds, with the last Save and firmware sent."),
                            this);
    text->setWordWrap(true);
    layout->addWidget(text);
    layout->addLayout(form);
    layout->addWidget(okCancel(this));
    resize(520, 360);
    // The remembered installer is selected: what the installer types replaces it.
    Text_Installer->selectAll();
}

QString ReportDialog::installer() const {
    return Text_Installer->text().trimmed();
}

QString ReportDialog::site() const {
    return Text_Site->text().trimmed();
}

QString ReportDialog::notes() const {
    return Text_Notes->toPlainText().trimmed();
}

}  // namespace meridan
