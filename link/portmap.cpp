#include "portmap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace meridan {

QString PortMap::settingsKey(int number) {
    return QStringLiteral("Ports/Com%1").arg(number);
}

QString PortMap::settingName(int number) const {
    QString s = QStringLiteral("Com%1 in section [Ports]").arg(number);
    if (store_ && !store_->fileName().isEmpty()) s += QStringLiteral(" of ") + store_->fileName();
    return s;
}

QString PortMap::defaultDevicePath(int number) {
    if (number < FirstComPort || number > LastComPort) return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    if (number <= 4) return QStringLiteral("/dev/ttyS%1").arg(number - 1);
    if (number <= 12) return QStringLiteral("/dev/ttyUSB%1").arg(number - 5);
    return QStringLiteral("/dev/ttyACM%1").arg(number - 13);
#endif
}

QString PortMap::devicePath(int number) const {
    if (number < FirstComPort || number > LastComPort) return {};
    if (store_) {
        const QString over = store_->value(settingsKey(number)).toString().trimmed();
        if (!over.isEmpty()) return over;
    }
    return defaultDevicePath(number);
}

QStringList settingsFiles() {
    QStringList folders = QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation);
    folders << QStringLiteral("/etc/xdg");
    QStringList files;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        for (const QString& name :
             {SettingsOrganisation + QLatin1Char('/') + ApplicationTitle, SettingsOrganisation}) {
            const QString path = dir.filePath(name + QStringLiteral(".conf"));
            if (!files.contains(path) && QFileInfo::exists(path)) files << path;
        }
    }
    return files;
}

QString unusableSettingsFile() {
    for (const QString& path : settingsFiles()) {
        const QFileInfo info(path);
        if (info.isFile()) continue;
        QString kind = QStringLiteral("not a file");
#ifndef Q_OS_WIN
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
            kind = S_ISDIR(st.st_mode)                          ? QStringLiteral("a folder")
                   : S_ISFIFO(st.st_mode)                       ? QStringLiteral("a FIFO")
                   : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? QStringLiteral("a device")
                   : S_ISSOCK(st.st_mode)                       ? QStringLiteral("a socket")
                                                                : kind;
        }
#endif
        return QStringLiteral("the settings file %1 is not a regular file (%2)")
            .arg(printablePath(path), kind);
    }
    return {};
}

int parseComName(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^com([0-9]{1,2})$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const auto m = re.match(name.trimmed());
    if (!m.hasMatch()) return 0;
    const int n = m.captured(1).toInt();
    return (n >= FirstComPort && n <= LastComPort) ? n : 0;
}

int parseStoredPort(const QVariant& value) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    const QString text = value.toString().trimmed();
    if (!digits.match(text).hasMatch()) return 0;
    const int n = text.toInt();
    return (n >= FirstComPort && n <= LastComPort) ? n : 0;
}

bool hasControlCharacter(const QString& text) {
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) return true;
    }
    return false;
}

QString printablePath(const QString& path) {
    QString s;
    for (const QChar c : path) {
        if (c.category() == QChar::Other_Control) {
            s += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            s += c;
        }
    }
    return s;
}

}  // namespace meridan
