#pragma once

#include <sys/resource.h>

#include <QAction>
#include <QDateTime>
#include <QSettings>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "app/mdiform1.h"
#include "overview/form_uebersicht.h"
#include "rig.h"
#include "uisupport/dialogservice.h"
#include "uisupport/filedialogs.h"
#include "update/form_update.h"

namespace meridan::test {

// Answers the file dialogs with a path set by the test (empty: cancelled).
class FakeFileDialogs final : public ui::FileDialogs {
  public:
    QString getOpenFileName(QWidget*, const QString&, const QString&, const QString&) override {
        return ++asked, answer;
    }
    QString getSaveFileName(QWidget*, const QString&, const QString&, const QString& i) override {
        return ++asked, proposed = i, answer;
    }
    QString answer;
    QString proposed;
    int asked = 0;
};

// Passes every box on to the recording service, and fails the running test when one comes
// while an exchange of the windows waits for the unit: the box would hold it up.
class ExchangeCheckedMessages final : public MessageService {
  public:
    ExchangeCheckedMessages(MessageService& boxes, Link& link) : boxes_(boxes), link_(link) {}
    MessageResult show(const QString& text, const QString& title, MessageIcon icon,
                       MessageButtons buttons) override;
    void restoreCursor() override { boxes_.restoreCursor(); }

  private:
    MessageService& boxes_;
    Link& link_;
};

// No file of this process may grow past `bytes` while it lives: a disk that is full.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old); }
    rlimit old{};
};

// Writes a firmware image of `size` bytes (a fixed pattern) to `path`, with its modification
// time set if one is given; returns what was written.
QByteArray writeImage(const QString& path, qint64 size, const QDateTime& modified = {});

// The whole program's windows over a simulated headend, in virtual time, with its own
// settings file and program folder. Every box and dialog of the windows, the link's messages
// among them, goes through the windows' dialog service; one that would open inside the wait
// of a running exchange fails the test.
struct GuiRig {
    GuiRig();
    ~GuiRig();

    // Start-up of the main window with `stored` as the stored port (0: none stored).
    void start(int stored = 1);
    // Opens the overview and lets its first read run; the update window and its activation.
    Form_Uebersicht* openOverview() { return main->Program->trigger(), settle(), main->overview(); }
    Form_Update* openUpdate() { return main->Update->trigger(), settle(), main->updateWindow(); }
    // start(), then openOverview() or openUpdate().
    Form_Uebersicht* startOverview() { return start(), openOverview(); }
    Form_Update* startUpdate() { return start(), openUpdate(); }
    // Lets queued events run (activation, deferred validation).
    void settle();
    // Runs `action` once, with the time at which the unit receives the next command `code`;
    // 23, the first set command, begins a Save's write, after the read for its backup.
    void onCommand(int code, std::function<void(double)> action);
    void onWrite(std::function<void(double)> action) { onCommand(23, std::move(action)); }
    // Where the backups before each Save go.
    QString backupFolder() const { return dir.filePath(QStringLiteral("backups")); }
    int storedPort() { return settings->sync(), settings->value("Settings/COM-Port").toInt(); }

    SimRig sim;
    QTemporaryDir dir;
    QTemporaryDir programDir;
    FakeFileDialogs fileDialogs;
    ExchangeCheckedMessages checked{sim.messages, sim.link};
    ui::DialogService dialogs{checked};
    LinkMessages windowReporter{dialogs, MDIForm1::Title};
    Link::ReporterScope reporting{sim.link, windowReporter};
    std::unique_ptr<QSettings> settings;
    ProgramData data;
    std::unique_ptr<MDIForm1> main;
};

}  // namespace meridan::test
