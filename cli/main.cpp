// meridan-cli: reads and writes a Meridan converter headend from a terminal.
#include <QCoreApplication>
#include <QTextStream>

#include "clitool.h"
#include "link/portmap.h"

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(meridan::SettingsOrganisation);
    QCoreApplication::setApplicationName(meridan::ApplicationTitle);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return meridan::cli::runCli(args, out, err);
}
