// meridan-converter: configures a Meridan converter headend over a serial port.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QSettings>
#include <QTextStream>

#include "link/deviceport.h"
#include "link/link.h"
#include "mdiform1.h"
#include "messages/linkmessages.h"
#include "uisupport/dialogservice.h"
#include "uisupport/qtmessages.h"

namespace {
// The options, parsed; -1 to go on, else the exit code. --help and --version are answered
// before the QApplication exists, so they need no display.
int parseOptions(QCoreApplication& app, bool beforeWindows) {
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Configures a Meridan converter headend over a serial port. Takes no arguments; the "
        "port is chosen in the Com Port menu."));
    p.addHelpOption();
    p.addVersionOption();
    // Qt's own options (-platform, -style...) are taken out of the arguments by QApplication;
    // before it exists only --help and --version count.
    const bool parsed = p.parse(app.arguments());
    if (p.isSet(QStringLiteral("help"))) {
        QTextStream(stdout) << p.helpText();
        return 0;
    }
    if (p.isSet(QStringLiteral("version"))) {
        QTextStream(stdout) << "meridan-converter " << meridan::programVersion() << '\n';
        return 0;
    }
    if (beforeWindows) return -1;
    if (!parsed || !p.positionalArguments().isEmpty()) {
        QTextStream(stderr) << "meridan-converter: "
                            << (p.errorText().isEmpty() ? QStringLiteral("takes no arguments")
                                                        : p.errorText())
                            << "\n\n"
                            << p.helpText();
        return 2;
    }
    return -1;
}
}  // namespace

int main(int argc, char* argv[]) {
    using namespace meridan;
    const auto named = [&](const char* option) {
        for (int k = 1; k < argc; ++k) {
            if (qstrcmp(argv[k], option) == 0) return true;
        }
        return false;
    };
    if (named("--help") || named("-h") || named("--version") || named("-v")) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(MDIForm1::Title);
        QCoreApplication::setApplicationVersion(programVersion());
        return parseOptions(core, true);
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName(SettingsOrganisation);
    QApplication::setApplicationName(MDIForm1::Title);
    QApplication::setApplicationVersion(programVersion());
    if (const int code = parseOptions(app, false); code >= 0) return code;
    // A settings file that is a FIFO would hold the program before its window shows.
    if (const QString why = unusableSettingsFile(); !why.isEmpty()) {
        QTextStream(stderr) << "meridan-converter: " << why << '\n';
        ui::QtMessageService().show(why, MDIForm1::Title, MessageIcon::Critical,
                                    MessageButtons::Ok);
        return 2;
    }
    // The icon beside the program is every window's own; "sat.ico" in the current folder,
    // when there is one, takes its place.
    const QString ownIcon =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("sat.ico"));
    if (QFile::exists(ownIcon)) QApplication::setWindowIcon(QIcon(ownIcon));

    QSettings settings(SettingsOrganisation, ApplicationTitle);
    const PortMap portMap(&settings);
    DevicePort port(portMap);
    SteadyClock clock;
    EventLoopPump pump;
    ui::QtMessageService boxes;
    // Every box and dialog of the program, the link's messages among them, goes through the
    // windows' dialog service.
    ui::DialogService messages(boxes);
    LinkMessages reporter(messages, MDIForm1::Title);
    Link link(port, clock, pump, reporter);
    ProgramData data;

    MDIForm1 window(link, data, messages, settings, portMap);
    boxes.setParentWindow(&window);
    window.Form_Load();
    window.show();
    return QApplication::exec();
}
