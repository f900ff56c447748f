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
class QTimer;
class QMdiSubWindow;
class QMenu;
class QSettings;

namespace meridan {

class Form_Diagnostic;
class Form_Uebersicht;
class Form_Update;
namespace ui {
class DialogService;
class FileDialogs;
}  // namespace ui

// The main window: the port menu, the menu of the working windows, the status bar, and the
// one serial port of the program.
class MDIForm1 : public QMainWindow, public ui::Shell {
    Q_OBJECT
  public:
    static const QString Title;  // the application's title, also the settings' name
    // How long a notice stays in the status bar.
    static constexpr int NoticeMs = 8000;

    // Every dialog of the windows opens through `messages`; when it is not a dialog service
    // already, the window puts one around it.
    MDIForm1(Link& link, ProgramData& programData, MessageService& messages, QSettings& settings,
             PortMap portMap, QWidget* parent = nullptr);
    ~MDIForm1() override;

    // Start-up: title, icon, port probe, the stored port, status bar.
    void Form_Load();
    void com_Click(int index);
    void Program_Click();
    void Update_Click();
    void Diagnostic_Click();
    // The File menu, for the overview window.
    void OpenPlan_Click();
    void SavePlanAs_Click();
    void RestoreBackup_Click();
    void SaveReport_Click();
    // The port in use (the checked item), 0 for none.
    int checkedPort() const { return checkedPort_; }
    Form_Uebersicht* overview() const;
    Form_Update* updateWindow() const;
    Form_Diagnostic* diagnosticWindow() const;
    // Where the firmware images are (the program's folder unless told otherwise), and the
    // open-file dialog the update window uses.
    void setProgramFolder(const QString& folder) { programFolder_ = folder; }
    void setFileDialogs(ui::FileDialogs* dialogs);
    QMdiArea* mdiArea() const { return mdi_; }
    ui::DialogService& dialogs() const { return *dialogs_; }
    // The notice the status bar shows now, empty when none.
    const QString& notice() const { return notice_; }
    // What holds the port now, as the user would say it ("A Save is running on Com1"); empty
    // when nothing does.
    QString runningExchange() const;

    // Shell
    void setProgramMenuEnabled(bool enabled) override;
    void setStatusPanel(int panel, const QString& text) override;
    void showNotice(const QString& text) override;
    QString applicationTitle() const override { return Title; }
    void endProgram() override;

    QMenu* FileMenu = nullptr;
    QAction* OpenPlan = nullptr;
    QAction* SavePlanAs = nullptr;
    QAction* RestoreBackup = nullptr;
    QAction* SaveReport = nullptr;
    QAction* VerifyAfterSave = nullptr;
    QMenu* Menu = nullptr;
    QAction* Program = nullptr;
    QAction* Update = nullptr;
    QAction* Diagnostic = nullptr;
    QMenu* Comport = nullptr;
    // The open child windows, to bring one forward; Cascade and Tile.
    QMenu* WindowMenu = nullptr;
    std::array<QAction*, LastComPort + 1> com{};
    std::array<QLabel*, 3> StatusBar1{};

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();
    void buildFileMenu();
    // The overview the File menu works on; nullptr, after saying why in the status bar, while
    // an exchange with the unit runs (`what` names the item) or when there is none.
    Form_Uebersicht* fileTarget(const QString& what);
    void openPlanFile(Form_Uebersicht* overview, const QString& path);
    // "Com1 (/dev/ttyS0)", for the report.
    QString portDescription() const;
    void fillWindowMenu();
    void endNotice();
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
    std::unique_ptr<ui::DialogService> ownDialogs_;
    ui::DialogService* dialogs_ = nullptr;
    MessageService& messages_;
    QSettings& settings_;
    PortMap portMap_;
    QMdiArea* mdi_ = nullptr;
    QPointer<QMdiSubWindow> overviewWindow_;
    QPointer<QMdiSubWindow> updateWindow_;
    QPointer<QMdiSubWindow> diagnosticWindow_;
    QString programFolder_;
    QTimer* noticeTimer_ = nullptr;
    QString notice_;
    QString panel2_;  // what panel 2 shows again once the notice has gone
    QPointer<QMdiSubWindow> lastActive_;
    int checkedPort_ = 0;
    QString reportNotes_;  // kept for the rest of the run
    bool closingChildren_ = false;
};

QString programVersion();

}  // namespace meridan
