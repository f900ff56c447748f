#pragma once

#include <QString>

class QWidget;

namespace meridan::ui {

// The open-file dialog, injected so tests can answer it.
class FileDialogs {
  public:
    virtual ~FileDialogs() = default;
    // The chosen file, or an empty string when the user cancelled.
    virtual QString getOpenFileName(QWidget* parent, const QString& title, const QString& filter,
                                    const QString& initialName) = 0;
};

class QtFileDialogs final : public FileDialogs {
  public:
    QString getOpenFileName(QWidget* parent, const QString& title, const QString& filter,
                            const QString& initialName) override;
};

}  // namespace meridan::ui
