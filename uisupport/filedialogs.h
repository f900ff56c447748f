#pragma once

#include <QString>

class QWidget;

namespace meridan::ui {

// The open-file and save-file dialogs, injected so tests can answer them.
class FileDialogs {
  public:
    virtual ~FileDialogs() = default;
    // The chosen file, or an empty string when the user cancelled.
    virtual QString getOpenFileName(QWidget* parent, const QString& title, const QString& filter,
                                    const QString& initialName) = 0;
    // The name to save under (`initialPath`: folder and proposed name), or an empty string
    // when the user cancelled. A file of that name already there is replaced only once the
    // user has said so.
    virtual QString getSaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                    const QString& initialPath) = 0;
};

class QtFileDialogs final : public FileDialogs {
  public:
    QString getOpenFileName(QWidget* parent, const QString& title, const QString& filter,
                            const QString& initialName) override;
    QString getSaveFileName(QWidget* parent, const QString& title, const QString& filter,
                            const QString& initialPath) override;
};

}  // namespace meridan::ui
