// meridan-converter: configures a Meridan converter headend over a serial port.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QSettings>

#include "link/link.h"
#include "link/qtserialport.h"
#include "mdiform1.h"
#include "uisupport/qtmessages.h"

int main(int argc, char* argv[]) {
    using namespace meridan;
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Meridan"));
    QApplication::setApplicationName(MDIForm1::Title);
    QApplication::setApplicationVersion(programVersion());
    // The icon beside the program is every window's own; "sat.ico" in the current folder,
    // when there is one, takes its place.
    const QString ownIcon =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("sat.ico"));
    if (QFile::exists(ownIcon)) QApplication::setWindowIcon(QIcon(ownIcon));

    QSettings settings(QStringLiteral("Meridan"), MDIForm1::Title);
    const PortMap portMap(&settings);
    QtSerialPort port(portMap);
    SteadyClock clock;
    EventLoopPump pump;
    ui::QtMessageService messages;
    Link link(port, clock, pump, messages);
    link.setApplicationTitle(MDIForm1::Title);
    ProgramData data;

    MDIForm1 window(link, data, messages, settings, portMap);
    messages.setParentWindow(&window);
    window.Form_Load();
    window.show();
    return QApplication::exec();
}
