#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <memory>

#include "app/mdiform1.h"
#include "overview/form_uebersicht.h"
#include "rig.h"

namespace meridan::test {

// The whole program's windows over a simulated headend, in virtual time, with its own
// settings file.
struct GuiRig {
    GuiRig();
    ~GuiRig();

    // Start-up of the main window with `stored` as the stored port (0: none stored).
    void start(int stored = 1);
    // Opens the overview and lets its first read run.
    Form_Uebersicht* openOverview();
    // Lets queued events run (activation, deferred validation).
    void settle();
    int storedPort();

    SimRig sim;
    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    ProgramData data;
    std::unique_ptr<MDIForm1> main;
};

}  // namespace meridan::test
