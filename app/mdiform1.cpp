#include "mdiform1.h"

#include <algorithm>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTime>
#include <QTimer>

#include "app/filemenudialogs.h"
#include "diagnostic/form_diagnostic.h"
#include "messages/linkmessages.h"
#include "messages/texts.h"
#include "overview/form_uebersicht.h"
#include "plan/inputfiles.h"
#include "protocol/display.h"
#include "report/report.h"
#include "uisupport/dialogservice.h"
#include "uisupport/filedialogs.h"
#include "uisupport/pointer.h"
#include "uisupport/windowicon.h"
#include "update/form_update.h"

namespace meridan {

namespace {
// Size, place and state of the main window at the last exit.
const QString GeometryKey = QStringLiteral("Window/Geometry");
// The main window as designed: the overview at 96 dots per inch with the menu and status bars.
constexpr QSize DesignedSize(1100, 860);
// What a window manager's frame may add around the window (title bar above); it is not known
// before the window is first shown.
const QMargins FrameAllowance(8, 40, 8, 8);
// The File menu's settings.
const QString VerifyKey = QStringLiteral("Settings/VerifyAfterSave");
const QString PlanFolderKey = QStringLiteral("Files/PlanFolder");
const QString ReportFolderKey = QStringLiteral("Files/ReportFolder");
const QString InstallerKey = QStringLiteral("Report/Installer");
const QString SiteKey = QStringLiteral("Report/Site");
const QString PlanFilter = QStringLiteral("Channel plans (*.json);;All files (*)");

ui::DialogService* dialogServiceFor(MessageService& messages,
                                    std::unique_ptr<ui::DialogService>& own) {
    if (auto* service = dynamic_cast<ui::DialogService*>(&messages)) return service;
    own = std::make_unique<ui::DialogService>(messages);
    return own.get();
}
}  // namespace

const QString MDIForm1::Title = ApplicationTitle;

QString programVersion() {
    return QStringLiteral("%1.%2.%3")
        .arg(MERIDAN_VERSION_MAJOR)
        .arg(MERIDAN_VERSION_MINOR)
        .arg(MERIDAN_VERSION_PATCH);
}

MDIForm1::MDIForm1(Link& link, ProgramData& programData, MessageService& messages,
                   QSettings& settings, PortMap portMap, QWidget* parent)
    : QMainWindow(parent),
      link_(link),
      data_(programData),
      dialogs_(dialogServiceFor(messages, ownDialogs_)),
      messages_(*dialogs_),
      settings_(settings),
      portMap_(portMap) {
    setObjectName(QStringLiteral("MDIForm1"));
    mdi_ = new QMdiArea(this);
    // A child window larger than the area can be scrolled into view.
    mdi_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdi_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(mdi_);
    if (data_.BackupFolder.isEmpty()) data_.BackupFolder = plan::defaultBackupFolder();
    buildMenus();
    for (int k = 0; k < 3; ++k) {
        StatusBar1[k] = new QLabel(this);
        StatusBar1[k]->setObjectName(QStringLiteral("StatusBar1_Panel%1").arg(k + 1));
        StatusBar1[k]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        statusBar()->addPermanentWidget(StatusBar1[k], k == 1 ? 1 : 0);
    }
    noticeTimer_ = new QTimer(this);
    noticeTimer_->setSingleShot(true);
    noticeTimer_->setInterval(NoticeMs);
    connect(noticeTimer_, &QTimer::timeout, this, &MDIForm1::endNotice);
    connect(mdi_, &QMdiArea::subWindowActivated, this, &MDIForm1::onSubWindowActivated);
    connect(&link_, &Link::portLost, this, &MDIForm1::onPortLost);

    // No dialog opens inside the wait of a window's exchange with the unit; what a box had
    // to say then is said in the status bar, and shown once the port is free again.
    dialogs_->setExchangeProbe([this] { return link_.waiting() && !link_.owner().isEmpty(); });
    dialogs_->setNoticeSink([this](const QString& text) { showNotice(text); });
    dialogs_->setHomeWindow(this);
    connect(&link_, &Link::ownerChanged, this, [this](const QString& owner) {
        // Once the windows have shown that the port is free.
        if (owner.isEmpty()) {
            QMetaObject::invokeMethod(
                this, [this] { dialogs_->showHeldBack(); }, Qt::QueuedConnection);
        }
    });
    // What a slow device server costs, and what to change, once per server.
    connect(&link_, &Link::deviceServerDelay, this, [this](const QString& device, double s) {
        setStatusPanel(2, LinkMessages::deviceServerDelayText(device, s, true));
        StatusBar1[1]->setToolTip(LinkMessages::deviceServerDelayText(device, s));
    });
    programFolder_ = QCoreApplication::applicationDirPath();
    placeWindow();
}

void MDIForm1::placeWindow() {
    // Where the user left it, as long as that lies within a screen there is now; maximised, the
    // window manager fits it.
    const bool restored = restoreGeometry(settings_.value(GeometryKey).toByteArray());
    if (restored && (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) return;
    QScreen* on = QGuiApplication::screenAt(geometry().center());
    if (!on) on = screen();
    const QRect free = on->availableGeometry();
    QRect r = restored ? geometry() : QRect(QPoint(), DesignedSize);
    if (restored && free.contains(r)) return;
    // Otherwise moved and shrunk into the screen, frame and all. At the first start, as designed
    // where that fits, else filling the screen's free area.
    const QRect room = free.marginsRemoved(FrameAllowance);
    const bool fits = r.width() <= room.width() && r.height() <= room.height();
    r.setSize(r.size().boundedTo(room.size()));
    if (!restored) r.moveCenter(room.center());
    r.moveLeft(std::clamp(r.left(), room.left(), room.right() + 1 - r.width()));
    r.moveTop(std::clamp(r.top(), room.top(), room.bottom() + 1 - r.height()));
    setGeometry(r);
    if (!restored && !fits) setWindowState(windowState() | Qt::WindowMaximized);
}

MDIForm1::~MDIForm1() {
    dialogs_->setExchangeProbe({});
    dialogs_->setNoticeSink({});
    dialogs_->setHomeWindow(nullptr);
}

void MDIForm1::setFileDialogs(ui::FileDialogs* dialogs) {
    dialogs_->setFileDialogs(dialogs);
}

void MDIForm1::buildFileMenu() {
    FileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    FileMenu->setObjectName(QStringLiteral("FileMenu"));
    auto add = [this](const char* name, const QString& text, void (MDIForm1::*slot)()) {
        QAction* a = FileMenu->addAction(text);
        a->setObjectName(QLatin1String(name));
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    OpenPlan = add("OpenPlan", QStringLiteral("&Open Plan..."), &MDIForm1::OpenPlan_Click);
    SavePlanAs = add("SavePlanAs", QStringLiteral("Save Plan &As..."), &MDIForm1::SavePlanAs_Click);
    RestoreBackup =
        add("RestoreBackup", QStringLiteral("&Restore Backup..."), &MDIForm1::RestoreBackup_Click);
    SaveReport = add("SaveReport", QStringLiteral("Save &Report..."), &MDIForm1::SaveReport_Click);
    FileMenu->addSeparator();
    VerifyAfterSave = FileMenu->addAction(QStringLiteral("&Verify after Save"));
    VerifyAfterSave->setObjectName(QStringLiteral("VerifyAfterSave"));
    VerifyAfterSave->setCheckable(true);
    data_.VerifyAfterSave = settings_.value(VerifyKey, true).toBool();
    VerifyAfterSave->setChecked(data_.VerifyAfterSave);
    connect(VerifyAfterSave, &QAction::toggled, this, [this](bool on) {
        data_.VerifyAfterSave = on;
        settings_.setValue(VerifyKey, on);
    });
    // The items work on the overview window: usable while it exists.
    connect(FileMenu, &QMenu::aboutToShow, this, [this] { setProgramMenuEnabled(!overview()); });
    setProgramMenuEnabled(true);
}

void MDIForm1::buildMenus() {
    buildFileMenu();
    Menu = menuBar()->addMenu(QStringLiteral("&Menu"));
    Menu->setObjectName(QStringLiteral("Menu"));
    Program = Menu->addAction(QStringLiteral("&Program Menu"));
    Program->setObjectName(QStringLiteral("Program"));
    Update = Menu->addAction(QStringLiteral("&Firmware Update"));
    Update->setObjectName(QStringLiteral("Update"));
    Diagnostic = Menu->addAction(QStringLiteral("&Diagnostic"));
    Diagnostic->setObjectName(QStringLiteral("Diagnostic"));
    connect(Program, &QAction::triggered, this, &MDIForm1::Program_Click);
    connect(Update, &QAction::triggered, this, &MDIForm1::Update_Click);
    connect(Diagnostic, &QAction::triggered, this, &MDIForm1::Diagnostic_Click);

    Comport = menuBar()->addMenu(QStringLiteral("&Com Port"));
    Comport->setObjectName(QStringLiteral("Comport"));
    Comport->setToolTipsVisible(true);
    for (int i = 0; i <= LastComPort; ++i) {
        QAction* a = Comport->addAction(i == 0 ? QStringLiteral("No Com Ports")
                                               : QStringLiteral("Com%1").arg(i));
        a->setObjectName(QStringLiteral("com"));
        a->setProperty("Index", i);
        if (i > 0) {
            a->setCheckable(true);
            // The status bar's panels leave the status tip no room: the device shows as a tool tip.
            a->setStatusTip(portMap_.devicePath(i));
            a->setToolTip(portMap_.devicePath(i));
        }
        connect(a, &QAction::triggered, this, [this, i] { com_Click(i); });
        com[i] = a;
    }

    WindowMenu = menuBar()->addMenu(QStringLiteral("&Window"));
    WindowMenu->setObjectName(QStringLiteral("Window"));
    connect(WindowMenu, &QMenu::aboutToShow, this, &MDIForm1::fillWindowMenu);
    fillWindowMenu();
}

void MDIForm1::fillWindowMenu() {
    WindowMenu->clear();
    QAction* cascade = WindowMenu->addAction(QStringLiteral("&Cascade"));
    connect(cascade, &QAction::triggered, mdi_, &QMdiArea::cascadeSubWindows);
    QAction* tile = WindowMenu->addAction(QStringLiteral("&Tile"));
    connect(tile, &QAction::triggered, mdi_, &QMdiArea::tileSubWindows);
    const QList<QMdiSubWindow*> children = mdi_->subWindowList(QMdiArea::CreationOrder);
    cascade->setEnabled(!children.isEmpty());
    tile->setEnabled(!children.isEmpty());
    if (!children.isEmpty()) WindowMenu->addSeparator();
    int n = 0;
    for (QMdiSubWindow* child : children) {
        ++n;
        QAction* a =
            WindowMenu->addAction(QStringLiteral("&%1 %2").arg(n).arg(child->windowTitle()));
        a->setObjectName(QStringLiteral("WindowChild"));
        a->setCheckable(true);
        a->setChecked(child == mdi_->activeSubWindow());
        const QPointer<QMdiSubWindow> target(child);
        connect(a, &QAction::triggered, this, [this, target] {
            if (target) showChild(target);
        });
    }
}

void MDIForm1::Form_Load() {
    setWindowTitle(QStringLiteral("Meridan Converter V") + programVersion());
    ui::loadWindowIcon(this);

    // Port probe: the items of the ports that open now. A port another program holds, or
    // one whose setting cannot name a device, is said by name.
    QList<LinkFailure> failures;
    const QList<int> usable = link_.probeComPorts(&failures);
    com[0]->setVisible(usable.isEmpty());
    for (int n = FirstComPort; n <= LastComPort; ++n)
        com[n]->setVisible(usable.contains(n));
    QStringList problems;
    if (usable.isEmpty()) problems << text::NoComPorts;
    for (const LinkFailure& f : failures)
        problems << LinkMessages::describe(f);
    if (!problems.isEmpty()) {
        messages_.show(problems.join(QLatin1Char('\n')), text::ComPortError, MessageIcon::Critical,
                       MessageButtons::Ok);
    }

    link_.clearReplyBuffer();
    const int stored = parseStoredPort(settings_.value(StoredPortKey));
    if (stored > 0) link_.port().setPortNumber(stored);
    // A port on a serial device server is not tried first: the click's open is the one
    // connection, and says why when it fails.
    if (link_.port().isNetwork() || link_.TestComPort(stored)) com_Click(stored);

    StatusBar1[0]->setText(QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
    StatusBar1[2]->setText(QLocale().toString(QTime::currentTime(), QStringLiteral("HH:mm:ss")));
    data_.DataChanged = false;
}

void MDIForm1::com_Click(int index) {
    if (index < FirstComPort || index > LastComPort) return;
    // An exchange with the unit is never cut off by a port change: it goes on, on its port.
    if (const QString running = runningExchange(); !running.isEmpty()) {
        showChecked();
        showNotice(running + QStringLiteral(": the port can be changed once it has ended."));
        return;
    }
    Port& port = link_.port();
    if (checkedPort_ > 0 && port.isOpen()) port.close();
    checkedPort_ = index;
    port.setReceiveBufferSize(Port::ReceiveBufferBytes);
    port.setTransmitBufferSize(Port::TransmitBufferBytes);
    port.setPortNumber(index);
    // Connecting to a device server may take seconds: the windows repaint meanwhile but take
    // no input.
    const bool network = port.isNetwork();
    if (network) ui::setHourglass();
    const bool opened = port.open();
    if (network) ui::setDefaultPointer();
    if (!opened) {
        // Taken by another program, or gone: say so, and leave no port checked.
        const LinkFailure failure = link_.openFailure();
        checkedPort_ = 0;
        showChecked();
        LinkMessages(messages_).report(failure);
        return;
    }
    showChecked();
}

void MDIForm1::showChecked() {
    for (int i = FirstComPort; i <= LastComPort; ++i)
        com[i]->setChecked(i == checkedPort_);
}

void MDIForm1::onPortLost() {
    checkedPort_ = 0;
    showChecked();
}

void MDIForm1::Program_Click() {
    if (!link_.port().isOpen()) {
        messages_.show(text::NoComPortSelected, text::ComPortError, MessageIcon::Critical,
                       MessageButtons::Ok);
        return;
    }
    if (!overviewWindow_) {
        overviewWindow_ = addChild(new Form_Uebersicht(link_, data_, messages_, *this));
    }
    showChild(overviewWindow_);
}

void MDIForm1::Update_Click() {
    if (!updateWindow_) {
        updateWindow_ = addChild(new Form_Update(link_, data_, *dialogs_, *this, programFolder_));
    }
    showChild(updateWindow_);
}

void MDIForm1::Diagnostic_Click() {
    if (!diagnosticWindow_)
        diagnosticWindow_ = addChild(new Form_Diagnostic(link_, messages_, *this));
    showChild(diagnosticWindow_);
}

QString MDIForm1::runningExchange() const {
    const QString owner = link_.owner();
    if (owner.isEmpty() && !link_.busy()) return {};
    const QString port =
        checkedPort_ > 0 ? QStringLiteral("Com%1").arg(checkedPort_) : link_.port().deviceName();
    QString what = QStringLiteral("An exchange with the unit is running");
    if (const Form_Uebersicht* f = overview(); f && owner == Form_Uebersicht::OwnerName) {
        what = f->state() == Form_Uebersicht::State::Saving
                   ? QStringLiteral("A Save is running")
                   : QStringLiteral("The overview is reading the unit");
    } else if (owner == Form_Update::OwnerName) {
        what = QStringLiteral("A firmware update is running");
    } else if (owner == Form_Diagnostic::OwnerName) {
        what = QStringLiteral("The Diagnostic monitor is running (Stop ends it)");
    }
    return what + QStringLiteral(" on ") + port;
}

// ---- the File menu ---------------------------------------------------------------------------

Form_Uebersicht* MDIForm1::fileTarget(const QString& what) {
    // No dialog may open while an exchange waits, and none of these may change a window
    // whose read or Save is running.
    const QString running = runningExchange();
    if (!running.isEmpty()) {
        showNotice(running + QStringLiteral(": %1 can be used once it has ended.").arg(what));
        return nullptr;
    }
    Form_Uebersicht* f = overview();
    if (!f)
        showNotice(
            QStringLiteral("%1 works on the overview: open it first (Program Menu).").arg(what));
    return f;
}

void MDIForm1::OpenPlan_Click() {
    Form_Uebersicht* f = fileTarget(QStringLiteral("Open Plan"));
    if (!f) return;
    const QString folder = settings_.value(PlanFolderKey, QDir::homePath()).toString();
    const QString path =
        dialogs_->getOpenFileName(this, QStringLiteral("Open Plan"), PlanFilter, folder);
    if (path.isEmpty()) return;
    settings_.setValue(PlanFolderKey, QFileInfo(path).absolutePath());
    openPlanFile(f, path);
}

void MDIForm1::openPlanFile(Form_Uebersicht* f, const QString& path) {
    // The command line's loader and checks: a file it would refuse changes nothing here.
    const auto loaded = plan::loadPlanFile(path);
    if (const auto* why = std::get_if<QString>(&loaded)) {
        messages_.show(
            *why + QStringLiteral("\nThe plan was not opened; the overview is as it was."),
            QStringLiteral("Open Plan"), MessageIcon::Critical, MessageButtons::Ok);
        return;
    }
    if (overview() != f) return;  // the overview went meanwhile
    f->openPlan(std::get<plan::Profile>(loaded), QFileInfo(path).fileName());
}

void MDIForm1::SavePlanAs_Click() {
    const QString title = QStringLiteral("Save Plan As");
    Form_Uebersicht* f = fileTarget(title);
    if (!f) return;
    const auto record = f->planRecord();
    if (const auto* why = std::get_if<QString>(&record)) {
        messages_.show(QStringLiteral("No plan was saved: ") + *why, title, MessageIcon::Critical,
                       MessageButtons::Ok);
        return;
    }
    const auto id = f->unitIdentity();
    const QString proposed =
        QDir(settings_.value(PlanFolderKey, QDir::homePath()).toString())
            .filePath(plan::unitFileStem(id->first, id->second) + QStringLiteral("-plan.json"));
    const QString path = dialogs_->getSaveFileName(this, title, PlanFilter, proposed);
    if (path.isEmpty()) return;
    settings_.setValue(PlanFolderKey, QFileInfo(path).absolutePath());
    // A backup stays as it was taken.
    if (QFileInfo(path).exists() &&
        QFileInfo(path).absoluteDir() == QDir(QFileInfo(data_.BackupFolder).absoluteFilePath())) {
        messages_.show(QStringLiteral("%1 is a backup: backups are kept as they were taken. "
                                      "Choose another name.")
                           .arg(QDir::toNativeSeparators(path)),
                       title, MessageIcon::Critical, MessageButtons::Ok);
        return;
    }
    QString why;
    if (!plan::replaceFile(path, std::get<QByteArray>(record), &why)) {
        messages_.show(
            QStringLiteral("%1 could not be written: %2").arg(QDir::toNativeSeparators(path), why),
            title, MessageIcon::Critical, MessageButtons::Ok);
        return;
    }
    showNotice(QStringLiteral("Plan saved: ") + QDir::toNativeSeparators(path));
}

void MDIForm1::RestoreBackup_Click() {
    const QString title = QStringLiteral("Restore Backup");
    Form_Uebersicht* f = fileTarget(title);
    if (!f) return;
    const auto id = f->unitIdentity();
    if (!id) {
        messages_.show(QStringLiteral("The unit has not been read yet: its backups are found by "
                                      "its type and serial number."),
                       title, MessageIcon::Information, MessageButtons::Ok);
        return;
    }
    const QString unit = QStringLiteral("%1 %2").arg(printableText(id->first)).arg(id->second);
    const QList<plan::BackupFile> backups =
        plan::listBackups(data_.BackupFolder, id->first, id->second);
    if (backups.isEmpty()) {
        messages_.show(QStringLiteral("There is no backup of %1 in %2.")
                           .arg(unit, QDir::toNativeSeparators(data_.BackupFolder)),
                       title, MessageIcon::Information, MessageButtons::Ok);
        return;
    }
    BackupDialog choice(unit, backups, this);
    if (dialogs_->exec(choice) != QDialog::Accepted || choice.chosen().isEmpty()) return;
    openPlanFile(f, choice.chosen());
}

QString MDIForm1::portDescription() const {
    if (checkedPort_ <= 0) return link_.port().deviceName();
    return QStringLiteral("Com%1 (%2)").arg(checkedPort_).arg(portMap_.devicePath(checkedPort_));
}

void MDIForm1::SaveReport_Click() {
    const QString title = QStringLiteral("Save Report");
    QPointer<Form_Uebersicht> f = fileTarget(title);
    if (!f) return;
    ReportDialog details(settings_.value(InstallerKey).toString(),
                         settings_.value(SiteKey).toString(), reportNotes_, this);
    if (dialogs_->exec(details) != QDialog::Accepted) return;
    settings_.setValue(InstallerKey, details.installer());
    settings_.setValue(SiteKey, details.site());
    reportNotes_ = details.notes();

    const auto id = f ? f->unitIdentity() : std::nullopt;
    const QString folder =
        settings_
            .value(ReportFolderKey,
                   QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .toString();
    const QString proposed = QDir(folder).filePath(
        (id ? plan::unitFileStem(id->first, id->second) : QStringLiteral("unit")) +
        QDateTime::currentDateTime().toString(QStringLiteral("-yyyyMMdd-HHmmss")) +
        QStringLiteral(".pdf"));
    const QString path =
        dialogs_->getSaveFileName(this, title, QStringLiteral("PDF files (*.pdf)"), proposed);
    if (path.isEmpty() || !f) return;
    settings_.setValue(ReportFolderKey, QFileInfo(path).absolutePath());

    // What the unit holds now, read as the command line's report reads it.
    QString why;
    const auto read = f->readUnit(&why);
    if (!read) {
        if (link_.aborted() || link_.isShutDown()) {
            if (!link_.isShutDown())
                showNotice(QStringLiteral("Save Report stopped: no report was written."));
            return;
        }
        messages_.show(QStringLiteral("No report was written: the unit could not be read") +
                           (why.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + why),
                       title, MessageIcon::Critical, MessageButtons::Ok);
        return;
    }
    report::Commissioning r;
    r.unit = read->unit;
    r.port = portDescription();
    r.readAt = read->at;
    r.program = QStringLiteral("Meridan Converter V") + programVersion();
    if (const auto& s = data_.lastSave;
        s && s->unitType == r.unit.UnitType && s->serial == r.unit.SerialNo) {
        r.lastSave = s->outcome;
        r.backupFile = QFileInfo(s->backup).fileName();
    }
    if (const auto& image = data_.firmwareSent)
        r.firmware = report::FirmwareSent{image->name, image->size, image->sha256, image->result};
    r.installer = details.installer();
    r.site = details.site();
    r.notes = details.notes();
    if (!report::writePdf(path, r, &why)) {
        messages_.show(
            QStringLiteral("%1 could not be written: %2").arg(QDir::toNativeSeparators(path), why),
            title, MessageIcon::Critical, MessageButtons::Ok);
        return;
    }
    showNotice(QStringLiteral("Report saved: ") + QDir::toNativeSeparators(path));
}

QMdiSubWindow* MDIForm1::addChild(QWidget* form) {
    QMdiSubWindow* sub = mdi_->addSubWindow(form);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowIcon(form->windowIcon());
    // As designed where the main window has the room; else as large as fits, in proportion
    // (the windows scale their controls with their size), so nothing lies out of reach.
    QSize size = sub->sizeHint();
    const QSize room = mdi_->viewport()->size();
    if (room.isValid() && (size.width() > room.width() || size.height() > room.height()))
        size = size.scaled(room, Qt::KeepAspectRatio);
    sub->resize(size);
    return sub;
}

void MDIForm1::showChild(QMdiSubWindow* window) {
    window->show();
    mdi_->setActiveSubWindow(window);
}

Form_Update* MDIForm1::updateWindow() const {
    return updateWindow_ ? qobject_cast<Form_Update*>(updateWindow_->widget()) : nullptr;
}

Form_Diagnostic* MDIForm1::diagnosticWindow() const {
    return diagnosticWindow_ ? qobject_cast<Form_Diagnostic*>(diagnosticWindow_->widget())
                             : nullptr;
}

void MDIForm1::endProgram() {
    // The unit is not asked anything more: windows close without questions.
    link_.shutdown();
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
}

Form_Uebersicht* MDIForm1::overview() const {
    return overviewWindow_ ? qobject_cast<Form_Uebersicht*>(overviewWindow_->widget()) : nullptr;
}

void MDIForm1::onSubWindowActivated(QMdiSubWindow* window) {
    // Qt reports the same child again when the program comes back from another application,
    // and nullptr when it ends: neither is a change of the active child.
    if (!window || window == lastActive_) return;
    lastActive_ = window;
    // The windows closing one after the other as the program ends make the others active in
    // turn: none of them starts a read or asks about its edits then.
    if (closingChildren_) return;
    if (auto* form = qobject_cast<Form_Uebersicht*>(window->widget())) {
        QMetaObject::invokeMethod(
            form, [form] { form->Form_Activate(); }, Qt::QueuedConnection);
    } else if (auto* update = qobject_cast<Form_Update*>(window->widget())) {
        QMetaObject::invokeMethod(
            update, [update] { update->Form_Activate(); }, Qt::QueuedConnection);
    }
}

void MDIForm1::setProgramMenuEnabled(bool enabled) {
    if (Program) Program->setEnabled(enabled);
    // The overview exists exactly while the Program item is disabled.
    for (QAction* a : {OpenPlan, SavePlanAs, RestoreBackup, SaveReport})
        a->setEnabled(!enabled);
}

void MDIForm1::setStatusPanel(int panel, const QString& text) {
    if (panel < 1 || panel > 3) return;
    if (panel == 2) {
        panel2_ = text;
        if (!notice_.isEmpty()) return;  // shown once the notice has gone
    }
    StatusBar1[panel - 1]->setText(text);
}

void MDIForm1::showNotice(const QString& text) {
    notice_ = text;
    QLabel* panel = StatusBar1[1];
    QPalette p = panel->palette();
    p.setColor(QPalette::WindowText, QColor(176, 0, 0));
    panel->setPalette(p);
    panel->setText(text);
    panel->setToolTip(text);
    noticeTimer_->start();
}

void MDIForm1::endNotice() {
    notice_.clear();
    QLabel* panel = StatusBar1[1];
    panel->setPalette(QPalette());
    panel->setToolTip(QString());
    panel->setText(panel2_);
}

void MDIForm1::closeEvent(QCloseEvent* event) {
    if (link_.busy()) {
        // A sequence waits for the unit: it stops at its next wait, then the program ends.
        link_.shutdown();
        event->ignore();
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
        return;
    }
    closingChildren_ = true;
    mdi_->closeAllSubWindows();
    closingChildren_ = false;
    if (!mdi_->subWindowList().isEmpty()) {
        event->ignore();
        return;
    }
    link_.shutdown();
    settings_.setValue(GeometryKey, saveGeometry());
    if (link_.port().isOpen()) link_.port().close();
    // The port in use is remembered; with none in use the stored choice stays as it was.
    if (checkedPort_ > 0) settings_.setValue(StoredPortKey, QString::number(checkedPort_));
    settings_.sync();
    event->accept();
}

}  // namespace meridan
