#pragma once

#include <QDialog>
#include <QList>

#include "plan/profile.h"

class QLineEdit;
class QListWidget;
class QPlainTextEdit;

namespace meridan {

// "Restore Backup": the backups of one unit, newest first, with the time each was taken. OK
// or a double-click chooses one.
class BackupDialog final : public QDialog {
    Q_OBJECT
  public:
    BackupDialog(const QString& unit, const QList<plan::BackupFile>& backups,
                 QWidget* parent = nullptr);
    // The backup chosen, empty when none.
    QString chosen() const;

    QListWidget* List_Backups = nullptr;

  private:
    QList<plan::BackupFile> backups_;
};

// "Save Report": who did the job, where, and anything worth saying about it.
class ReportDialog final : public QDialog {
    Q_OBJECT
  public:
    ReportDialog(const QString& installer, const QString& site, const QString& notes,
                 QWidget* parent = nullptr);
    QString installer() const;
    QString site() const;
    QString notes() const;

    QLineEdit* Text_Installer = nullptr;
    QLineEdit* Text_Site = nullptr;
    QPlainTextEdit* Text_Notes = nullptr;
};

}  // namespace meridan
