#include "form_update.h"

#include <QCryptographicHash>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QToolBar>

#include "expert/frmlogin.h"
#include "form_filelist.h"
#include "messages/texts.h"
#include "uisupport/activityind.h"
#include "uisupport/clsresize.h"
#include "uisupport/dialogservice.h"
#include "uisupport/pointer.h"
#include "uisupport/qtresize.h"
#include "uisupport/shell.h"
#include "uisupport/twips.h"
#include "uisupport/windowicon.h"

namespace meridan {

namespace {

// The indicator's colour when idle (0x00BBGGRR).
constexpr quint32 Green = 49152;
const QString AddFileTitle = QStringLiteral("Add Bin-File");
// A copied image must be readable this soon.
constexpr int FileReadyTries = 50;
constexpr double FileReadyPause = 0.1;
enum Button {
    ButtonSlave = 1,
    ButtonCi = 2,
    ButtonAddFile = 3,
    ButtonUpdate = 4,
    ButtonExpert = 5,
    ButtonSeparator = 6,
    ButtonCancel = 7,
    ButtonExit = 8,
};

using ui::arial;

// "196,608 bytes (3 sectors)"
QString sizeText(qint64 bytes, int sectors) {
    return QStringLiteral("%1 bytes (%2 %3)")
        .arg(bytes)
        .arg(sectors)
        .arg(sectors == 1 ? QStringLiteral("sector") : QStringLiteral("sectors"));
}

}  // namespace

const QString Form_Update::OwnerName = QStringLiteral("Firmware Update");

Form_Update::Form_Update(Link& link, ProgramData& programData, ui::DialogService& dialogs,
                         ui::Shell& shell, const QString& programFolder, QWidget* parent)
    : QWidget(parent),
      link_(link),
      data_(programData),
      dialogs_(dialogs),
      messages_(dialogs),
      shell_(shell),
      folder_(programFolder),
      presenter_(*this, shell, dialogs),
      transfer_(link, presenter_) {
    setObjectName(QStringLiteral("Form_Update"));
    setWindowTitle(QStringLiteral("Update Utility"));
    setFont(arial(8.25, false));
    resize(sizeHint());
    ticks_ = [this] {
        return static_cast<std::uint32_t>(static_cast<qint64>(link_.clock().now() * 1000.0));
    };
    buildControls();

    // Load.
    resize_ = std::make_unique<ui::clsResize>();
    resize_->oForm(std::make_shared<ui::QtResizeForm>(this));
    ui::loadWindowIcon(this);
    clock_.reset(ticks_());
    lblZeit->setText(clock_.text());
    data_.ExpertMode = false;
    transfer_.RetryCount = 0;
    presenter_.showIdleTexts();
    button(ButtonCancel)->setEnabled(false);
}

Form_Update::~Form_Update() = default;

QSize Form_Update::sizeHint() const {
    return QSize(ui::twipsToPixels(ClientWidthTwips), ui::twipsToPixels(ClientHeightTwips));
}

void Form_Update::buildControls() {
    Toolbar1 = ui::place(new QToolBar(this), "Toolbar1", -1, 0, 0, ClientWidthTwips, 945,
                         arial(8.25, false));
    Toolbar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    Toolbar1->setIconSize(QSize(24, 24));
    Toolbar1->setMovable(false);
    QStyle* st = style();
    const struct {
        const char* caption;
        QStyle::StandardPixmap icon;
    } defs[] = {
        {"DVB-S/T/Slave", QStyle::SP_DriveNetIcon},   {"DVB-S CI", QStyle::SP_DriveHDIcon},
        {"Add File", QStyle::SP_FileDialogNewFolder}, {"Update", QStyle::SP_ArrowUp},
        {"Expert", QStyle::SP_FileDialogInfoView},    {"", QStyle::SP_CustomBase},
        {"Cancel", QStyle::SP_DialogCancelButton},    {"Exit", QStyle::SP_DialogCloseButton},
    };
    for (int k = 0; k < 8; ++k) {
        const int index = k + 1;
        QAction* a = index == ButtonSeparator
                         ? Toolbar1->addSeparator()
                         : Toolbar1->addAction(st->standardIcon(defs[k].icon),
                                               QString::fromUtf8(defs[k].caption));
        a->setObjectName(QStringLiteral("Toolbar1_Button%1").arg(index));
        a->setProperty("Index", index);
        if (index != ButtonSeparator) {
            connect(a, &QAction::triggered, this, [this, index] { Toolbar1_ButtonClick(index); });
        }
        buttons_[k] = a;
    }
    // The buttons from the keyboard too, wherever the focus is in the window.
    const struct {
        int index;
        QKeySequence key;
    } keys[] = {{ButtonAddFile, QKeySequence(Qt::ALT | Qt::Key_A)},
                {ButtonUpdate, QKeySequence(Qt::ALT | Qt::Key_U)},
                {ButtonExpert, QKeySequence(Qt::ALT | Qt::Key_E)},
                {ButtonExit, QKeySequence(Qt::ALT | Qt::Key_X)}};
    for (const auto& k : keys) {
        QAction* a = button(k.index);
        a->setShortcut(k.key);
        a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        a->setToolTip(
            QStringLiteral("%1 (%2)").arg(a->text(), k.key.toString(QKeySequence::NativeText)));
        addAction(a);
    }
    // The module-type buttons have no action.
    button(ButtonSlave)->setVisible(false);
    button(ButtonCi)->setVisible(false);
    button(ButtonAddFile)->setVisible(false);

    Frame1 =
        ui::place(new QGroupBox(this), "Frame1", -1, 360, 1260, 14610, 5700, arial(8.25, true));
    Label_title =
        ui::place(new QLabel(this), "Label_title", -1, 600, 1620, 14130, 780, arial(24, true));
    Label_englisch =
        ui::place(new QLabel(this), "Label_englisch", -1, 600, 2700, 14130, 480, arial(14, false));
    Label_deutsch =
        ui::place(new QLabel(this), "Label_deutsch", -1, 600, 3240, 14130, 480, arial(14, false));
    for (QLabel* l : {Label_title, Label_englisch, Label_deutsch})
        l->setAlignment(Qt::AlignCenter);

    Activity1 =
        ui::place(new ui::ActivityInd(this), "Activity1", -1, 840, 4260, 1140, 1140, font());
    Activity1->setStyle(3);
    Activity1->setForeColor(Green);
    ProgressBar1 =
        ui::place(new QProgressBar(this), "ProgressBar1", -1, 2280, 4500, 10440, 540, font());
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    Label1 = ui::place(new QLabel(this), "Label1", -1, 12960, 4530, 1680, 480, arial(14, true));
    lblZeit = ui::place(new QLabel(this), "lblZeit", -1, 2280, 5280, 2400, 480, arial(14, true));
    Label2 = ui::place(new QLabel(this), "Label2", -1, 5040, 5280, 1200, 480, font());
    Label2->hide();
    Command1 = ui::place(new QPushButton(QStringLiteral("Command1"), this), "Command1", -1, 12960,
                         5280, 1680, 480, font());
    Command1->hide();

    Label_Type = ui::place(new QLabel(QStringLiteral("File Title:"), this), "Label_Type", -1, 600,
                           7500, 1800, 420, arial(12, true));
    Text_Filename = ui::place(new QLineEdit(this), "Text_Filename", -1, 2520, 7440, 12450, 480,
                              arial(12, false));
    Text_Filename->setReadOnly(true);
    Label_Image =
        ui::place(new QLabel(this), "Label_Image", -1, 2520, 8040, 12450, 420, arial(9.75, false));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(TimerIntervalMs);
    connect(Timer1, &QTimer::timeout, this, &Form_Update::Timer1_Timer);

    // F1, F2 and Esc are the window's whichever of its controls has the focus; not those of
    // the overview, nor of a dialog this window opens.
    for (const int key : {Qt::Key_F1, Qt::Key_F2, Qt::Key_Escape}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        shortcut->setAutoRepeat(false);
        connect(shortcut, &QShortcut::activated, this, [this, key] {
            // A key that reaches the window while one of its dialogs is up belongs to the dialog.
            if (!QApplication::activeModalWidget()) Form_KeyDown(key);
        });
    }
}

void Form_Update::takeFocus() {
    QWidget* focus = window()->focusWidget();
    if (focus && isAncestorOf(focus)) return;
    Text_Filename->setFocus(Qt::OtherFocusReason);
}

void Form_Update::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    takeFocus();
}

// ---- activation, timer, image choice --------------------------------------------------------

void Form_Update::Form_Activate() {
    resize_->Initialize();
    resize_->DoResize();
    // The image of a running update stays what it is; the list of images is not shown inside
    // an exchange with the unit.
    if (!busy_) SelectFirmwareFile(!dialogs_.exchangeWaiting());
    takeFocus();
}

void Form_Update::Timer1_Timer() {
    clock_.advance(ticks_());
    lblZeit->setText(clock_.text());
    Activity1->setStep(Activity1->Step() >= 100 ? 0 : Activity1->Step() + 10);
}

QString Form_Update::SelectFirmwareFile(bool mayAsk) {
    const QStringList names = firmwareImagesNewestFirst(folder_, FirmwarePattern);
    const QDir dir(folder_);
    if (names.isEmpty()) {
        data_.FirmwareFile.clear();
        Text_Filename->setText(QStringLiteral("No firmware image %1 in %2")
                                   .arg(FirmwarePattern, QDir::toNativeSeparators(folder_)));
        return {};
    }
    if (names.size() == 1 || !data_.ExpertMode) {
        data_.FirmwareFile = dir.filePath(names.first());
    } else if (mayAsk) {
        Form_Filelist list(names, this);
        dialogs_.exec(list);
        if (!list.chosen().isEmpty()) data_.FirmwareFile = dir.filePath(list.chosen());
    } else if (!names.contains(QFileInfo(data_.FirmwareFile).fileName())) {
        data_.FirmwareFile = dir.filePath(names.first());
    }
    Text_Filename->setText(QDir::toNativeSeparators(data_.FirmwareFile));
    showChosenSize();
    return data_.FirmwareFile;
}

void Form_Update::showChosenSize() {
    const QFileInfo info(data_.FirmwareFile);
    Label_Image->setText(data_.FirmwareFile.isEmpty() || !info.exists()
                             ? QString()
                             : sizeText(info.size(), int(sectorCount(info.size()))));
}

void Form_Update::showImageSent(const QString& path, qint64 bytes, int sectors) {
    if (path.isEmpty()) {
        Text_Filename->setText(QDir::toNativeSeparators(data_.FirmwareFile));
        showChosenSize();
        return;
    }
    Text_Filename->setText(QDir::toNativeSeparators(path));
    Label_Image->setText(QStringLiteral("Sending %1, as read at the start of the update")
                             .arg(sizeText(bytes, sectors)));
}

void Form_Update::chooseImageToSend() {
    // Chosen before the port is taken, so the list of images (expert mode) holds nothing up.
    SelectFirmwareFile(true);
}

// ---- toolbar and keys -----------------------------------------------------------------------

void Form_Update::recordImageSending() {
    const QByteArray& image = transfer_.image();
    data_.firmwareSent =
        SentImage{QFileInfo(transfer_.figures().image).fileName(), qint64(image.size()),
                  QCryptographicHash::hash(image, QCryptographicHash::Sha256),
                  QStringLiteral("not confirmed by the module")};
}

void Form_Update::recordImageSent(const QString& result) {
    if (data_.firmwareSent) data_.firmwareSent->result = result;
}

void Form_Update::toolbarIdle() {
    button(ButtonAddFile)->setEnabled(true);
    button(ButtonUpdate)->setEnabled(true);
    button(ButtonExpert)->setEnabled(true);
    button(ButtonExit)->setEnabled(true);
    button(ButtonCancel)->setEnabled(false);
}

void Form_Update::Toolbar1_ButtonClick(int index) {
    switch (index) {
        case ButtonAddFile:
            addFile();
            break;
        case ButtonUpdate:
            startUpdate();
            break;
        case ButtonExpert:
            expertLogin();
            break;
        case ButtonCancel:
            button(ButtonCancel)->setEnabled(false);
            presenter_.requestCancel();
            break;
        case ButtonExit:
            shell_.setStatusPanel(2, QString());
            ui::setDefaultPointer();
            ui::closeChildWindow(this);
            break;
        default:
            break;
    }
}

void Form_Update::Form_KeyDown(int key) {
    switch (key) {
        case Qt::Key_F1:
            moduleCheck();
            break;
        case Qt::Key_F2:
            if (data_.ExpertMode) {
                moduleCheck();
            } else {
                expertLogin();
            }
            break;
        case Qt::Key_Escape:
            shell_.endProgram();
            break;
        default:
            break;
    }
}

bool Form_Update::refuseWhilePortHeld() {
    if (link_.owner().isEmpty() || link_.owner() == OwnerName) return false;
    shell_.showNotice(text::portInUseBy(link_.owner()));
    return true;
}

bool Form_Update::refuseDialogNow(const QString& what) {
    if (!busy_ && !dialogs_.exchangeWaiting()) return false;
    if (busy_) {
        shell_.showNotice(QStringLiteral("An update is running: %1 once it has ended.").arg(what));
    } else {
        QString later = what + QStringLiteral(" once it is free.");
        later[0] = later[0].toUpper();
        shell_.showNotice(text::portInUseBy(link_.owner()) + QLatin1Char(' ') + later);
    }
    return true;
}

void Form_Update::startUpdate() {
    if (busy_ || refuseWhilePortHeld()) return;
    chooseImageToSend();
    const Link::OwnerScope owner(link_, OwnerName);
    if (!owner.held()) {
        refuseWhilePortHeld();
        return;
    }
    busy_ = true;
    transfer_.RetryCount = 0;
    button(ButtonAddFile)->setEnabled(false);
    button(ButtonUpdate)->setEnabled(false);
    button(ButtonExpert)->setEnabled(false);
    button(ButtonCancel)->setEnabled(true);
    button(ButtonExit)->setEnabled(false);
    presenter_.begin();
    transfer_.RunUpdate();
    button(ButtonUpdate)->setEnabled(true);
    busy_ = false;
    finishSequence();
}

void Form_Update::moduleCheck() {
    // One transfer at a time: a key pressed while one runs starts nothing.
    if (busy_ || refuseWhilePortHeld()) return;
    chooseImageToSend();
    const Link::OwnerScope owner(link_, OwnerName);
    if (!owner.held()) {
        refuseWhilePortHeld();
        return;
    }
    busy_ = true;
    // A new start: a cancel of an earlier update does not stop this one.
    presenter_.begin();
    button(ButtonUpdate)->setEnabled(false);
    transfer_.CheckModuleType();
    button(ButtonUpdate)->setEnabled(true);
    busy_ = false;
    finishSequence();
}

bool Form_Update::askPassword() {
    frmLogin login(messages_, this);
    dialogs_.exec(login);
    data_.PasswordAccepted = login.passwordAccepted(data_.PasswordAccepted);
    return data_.PasswordAccepted;
}

void Form_Update::expertLogin() {
    if (refuseDialogNow(QStringLiteral("the expert password can be given"))) return;
    if (!askPassword()) return;
    button(ButtonAddFile)->setVisible(true);
    button(ButtonExpert)->setVisible(false);
    data_.ExpertMode = true;
}

void Form_Update::addFile() {
    if (refuseDialogNow(QStringLiteral("files can be added"))) return;
    const QString source = dialogs_.getOpenFileName(
        this, AddFileTitle, QStringLiteral("Bin-File (*.bin)"), QStringLiteral("*.bin"));
    if (source.isEmpty()) return;
    const QString dest = QDir(folder_).filePath(QFileInfo(source).fileName());
    if (QFileInfo(source).absoluteFilePath() == QFileInfo(dest).absoluteFilePath()) return;
    const bool overwrite = FileExists(dest);
    auto failed = [&](const QString& why) {
        messages_.show(
            QStringLiteral("%1 could not be copied to %2: %3")
                    .arg(QDir::toNativeSeparators(source), QDir::toNativeSeparators(dest), why) +
                (overwrite ? QStringLiteral("\nThe image already there is unchanged.") : QString()),
            AddFileTitle, MessageIcon::Critical, MessageButtons::Ok);
    };
    // A FIFO or a device (/dev/zero) would wait or fill the disk.
    if (const QFileInfo info(source); info.exists() && !info.isFile()) {
        failed(QStringLiteral("it is not a regular file"));
        return;
    }
    if (overwrite &&
        messages_.show(QStringLiteral("File already exists! Overwrite?"), shell_.applicationTitle(),
                       MessageIcon::Question, MessageButtons::OkCancel) != MessageResult::Ok) {
        return;
    }
    // The copy goes to a new file in the program's folder that takes the image's name only
    // once it is complete: a copy that fails leaves the image there as it was.
    QFile in(source);
    QSaveFile out(dest);
    if (!in.open(QIODevice::ReadOnly)) {
        failed(in.errorString());
        return;
    }
    if (!out.open(QIODevice::WriteOnly)) {
        failed(out.errorString());
        return;
    }
    constexpr qint64 Chunk = 1 << 20;
    QString why;
    while (why.isEmpty()) {
        const QByteArray chunk = in.read(Chunk);
        if (in.error() != QFileDevice::NoError) why = in.errorString();
        if (chunk.isEmpty()) break;
        // A short write (the disk is full) is a failed copy, whatever the device says.
        if (out.write(chunk) != chunk.size()) {
            why = out.error() != QFileDevice::NoError
                      ? out.errorString()
                      : QStringLiteral("not all of it could be written (is the disk full?)");
        }
    }
    if (!why.isEmpty()) {
        out.cancelWriting();
        failed(why);
        return;
    }
    if (!out.commit()) {
        failed(out.errorString());
        return;
    }
    // The copy is complete when the file can be opened; give up after a few seconds.
    for (int k = 0; !FileReady(dest); ++k) {
        if (k == FileReadyTries || link_.aborted()) {
            failed(QStringLiteral("the copy cannot be opened"));
            return;
        }
        link_.WaitSeconds(FileReadyPause);
    }
}

// ---- closing --------------------------------------------------------------------------------

void Form_Update::finishSequence() {
    if (closeAfterSequence_) ui::closeChildWindowLater(this);
}

void Form_Update::closeEvent(QCloseEvent* event) {
    if (busy_) {
        // Nothing more is sent; the window goes once the transfer has stopped.
        closeAfterSequence_ = true;
        link_.abort();
        event->ignore();
        return;
    }
    Timer1->stop();
    event->accept();
}

void Form_Update::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (resize_) resize_->DoResize();
}

// ---- the elapsed clock -------------------------------------------------------------------

void Form_Update::resetClock() {
    clock_.reset(ticks_());
    lblZeit->setText(clock_.text());
}

void Form_Update::startClock() {
    clock_.LastTick = ticks_();
    Timer1->start();
}

void Form_Update::stopClock() {
    Timer1->stop();
}

}  // namespace meridan
