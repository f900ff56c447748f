#include "filedialogs.h"

#include <QFileDialog>
#include <QFileInfo>

namespace meridan::ui {

QString QtFileDialogs::getOpenFileName(QWidget* parent, const QString& title, const QString& filter,
                                       const QString& initialName) {
    QFileDialog dialog(parent, title, QString(), filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // A folder to start in, a file in a folder, or a name (pattern) in the current folder.
    if (const QFileInfo start(initialName); start.isAbsolute() && start.isDir()) {
        dialog.setDirectory(initialName);
    } else if (start.isAbsolute()) {
        dialog.setDirectory(start.path());
        dialog.selectFile(start.fileName());
    } else {
        dialog.selectFile(initialName);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

QString QtFileDialogs::getSaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                       const QString& initialPath) {
    const QFileInfo proposed(initialPath);
    QFileDialog dialog(parent, title, proposed.path(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(
        filter.section(QStringLiteral("*."), 1).section(QLatin1Char(')'), 0, 0));
    dialog.selectFile(proposed.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

}  // namespace meridan::ui
