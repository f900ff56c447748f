// meridan-cli: reads and writes a Meridan converter headend from a terminal.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>
#include <csignal>
#include <memory>

#include "clitool.h"
#include "link/portmap.h"

int main(int argc, char* argv[]) {
    // A terminal tool has no use for the GLib main loop, and Qt's own event loop takes half
    // the system calls for an exchange on the serial port: QSerialPort switches its write
    // notifier on and off for every write, and GLib wakes its loop for each switch.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    // A reader that goes away (monitor | head -3) must not end the tool in the middle of an
    // exchange: a write to the pipe fails instead, and the command ends as it should.
    std::signal(SIGPIPE, SIG_IGN);
    QStringList args;
    for (int k = 1; k < argc; ++k)
        args << QString::fromLocal8Bit(argv[k]);
    // A commissioning report needs fonts, which come with a display; without one, the
    // screenless display does. Every other command starts as fast as a tool without one.
    std::unique_ptr<QCoreApplication> app;
    if (meridan::cli::wantsReport(args)) {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setOrganizationName(meridan::SettingsOrganisation);
    QCoreApplication::setApplicationName(meridan::ApplicationTitle);
    QTextStream out(stdout);
    QTextStream err(stderr);
    args = QCoreApplication::arguments();
    args.removeFirst();
    return meridan::cli::runCli(args, out, err);
}
