#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <memory>

#include "appstate/programdata.h"
#include "link/link.h"
#include "link/portmap.h"
#include "messages/messageservice.h"
#include "uisupport/shell.h"

class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QSettings;

namespace meridan {

class Form_Diagnostic;
class Form_Uebersicht;
class Form_Update;
namespace ui {
class FileDialogs;
}

// The main window: the port menu, the menu of the working windows, the status bar, and the
// one serial port of the program.
class MDIForm1 : public QMainWindow, public ui::Shell {
    Q_OBJECT
  public:
    static const QString Title;  // the application's title, also the settings' name

    MDIForm1(Link& link, ProgramData& programData, MessageService& messages, QSettings& settings,
             PortMap portMap, QWidget* parent = nullptr);
    ~MDIForm1() override;

    // Start-up: title, icon, port probe, the stored port, status bar.
    void Form_Load();
    void com_Click(int index);
    void Program_Click();
    void Update_Click();
    void Diagnostic_Click();
    // The port in use (the checked item), 0 for none.
    int checkedPort() const { return checkedPort_; }
    Form_Uebersicht* overview() const;
    Form_Update* updateWindow() const;
    Form_Diagnostic* diagnosticWindow() const;
    // Where the firmware images are (the program's folder unless told otherwise), and the
    // open-file dialog the update window uses.
    void setProgramFolder(const QString& folder) { programFolder_ = folder; }
    void setFileDialogs(ui::FileDialogs* dialogs) { fileDialogs_ = dialogs; }
    QMdiArea* mdiArea() const { return mdi_; }

    // Shell
    void setProgramMenuEnabled(bool enabled) override;
    void setStatusPanel(int panel, const QString& text) override;
    QString applicationTitle() const override { return Title; }
    void endProgram() override;

    QMenu* Menu = nullptr;
    QAction* Program = nullptr;
    QAction* Update = nullptr;
    QAction* Diagnostic = nullptr;
    QMenu* Comport = nullptr;
    std::array<QAction*, LastComPort + 1> com{};
    std::array<QLabel*, 3> StatusBar1{};

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();
    // Size and place at start: as the user left it, or fitting the screen.
    void placeWindow();
    void onSubWindowActivated(QMdiSubWindow* window);
    void onPortLost();
    void showChecked();
    // A child window, each created once and deleted when it is closed.
    QMdiSubWindow* addChild(QWidget* form);
    void showChild(QMdiSubWindow* window);

    Link& link_;
    ProgramData& data_;
    MessageService& messages_;
    QSettings& settings_;
    PortMap portMap_;
    QMdiArea* mdi_ = nullptr;
    QPointer<QMdiSubWindow> overviewWindow_;
    QPointer<QMdiSubWindow> updateWindow_;
    QPointer<QMdiSubWindow> diagnosticWindow_;
    QString programFolder_;
    ui::FileDialogs* fileDialogs_ = nullptr;
    std::unique_ptr<ui::FileDialogs> ownFileDialogs_;
    QPointer<QMdiSubWindow> lastActive_;
    int checkedPort_ = 0;
    bool closingChildren_ = false;
};

QString programVersion();

}  // namespace meridan
