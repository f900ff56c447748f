#pragma once

#include <QDateTime>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>

#include "app/mdiform1.h"
#include "overview/form_uebersicht.h"
#include "rig.h"
#include "uisupport/filedialogs.h"
#include "update/form_update.h"

namespace meridan::test {

// Answers the open-file dialog with a path set by the test (empty: cancelled).
class FakeFileDialogs final : public ui::FileDialogs {
  public:
    QString getOpenFileName(QWidget*, const QString&, const QString&, const QString&) override {
        return answer;
    }
    QString answer;
};

// The whole program's windows over a simulated headend, in virtual time, with its own
// settings file and program folder.
// Writes a firmware image of `size` bytes (a fixed pattern) to `path`, with its modification
// time set if one is given; returns what was written.
QByteArray writeImage(const QString& path, qint64 size, const QDateTime& modified = {});

struct GuiRig {
    GuiRig();
    ~GuiRig();

    // Start-up of the main window with `stored` as the stored port (0: none stored).
    void start(int stored = 1);
    // Opens the overview and lets its first read run.
    Form_Uebersicht* openOverview();
    // Opens the update window and lets its activation run.
    Form_Update* openUpdate();
    // start(), then openOverview() or openUpdate().
    Form_Uebersicht* startOverview() { return start(), openOverview(); }
    Form_Update* startUpdate() { return start(), openUpdate(); }
    // Lets queued events run (activation, deferred validation).
    void settle();
    int storedPort();

    SimRig sim;
    QTemporaryDir dir;
    QTemporaryDir programDir;
    FakeFileDialogs fileDialogs;
    std::unique_ptr<QSettings> settings;
    ProgramData data;
    std::unique_ptr<MDIForm1> main;
};

}  // namespace meridan::test
