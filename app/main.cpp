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

int main(int argc, char* argv[]) {
    using namespace meridan;
    QApplication app(argc, argv);
    QApplication::setOrganizationName(SettingsOrganisation);
    QApplication::setApplicationName(MDIForm1::Title);
    QApplication::setApplicationVersion(programVersion());
    {
        // Qt has taken its own options (-platform, -style...) out of the arguments already.
        QCommandLineParser p;
        p.setApplicationDescription(QStringLiteral(
            "Configures a Meridan converter headend over a serial port. Takes no arguments; the "
            "port is chosen in the Com Port menu."));
        p.addHelpOption();
        p.addVersionOption();
        if (!p.parse(QCoreApplication::arguments()) || !p.positionalArguments().isEmpty()) {
            QTextStream(stderr) << "meridan-converter: "
                                << (p.errorText().isEmpty() ? QStringLiteral("takes no arguments")
                                                            : p.errorText())
                                << "\n\n"
                                << p.helpText();
            return 2;
        }
        if (p.isSet(QStringLiteral("help"))) {
            QTextStream(stdout) << p.helpText();
            return 0;
        }
        if (p.isSet(QStringLiteral("version"))) {
            QTextStream(stdout) << "meridan-converter " << programVersion() << '\n';
            return 0;
        }
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
