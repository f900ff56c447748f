#pragma once

#include <QDialog>

class QLabel;
class QListWidget;

namespace meridan {

// "Fileselection": the firmware images of the program's folder, newest first; a double-click
// chooses one.
class Form_Filelist : public QDialog {
    Q_OBJECT
  public:
    Form_Filelist(const QStringList& names, QWidget* parent = nullptr);

    // The name double-clicked, empty when the window was closed without a choice.
    QString chosen() const { return chosen_; }

    QLabel* Label1 = nullptr;
    QListWidget* List1 = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

  private:
    QString chosen_;
    bool busyBefore_ = false;
};

}  // namespace meridan
