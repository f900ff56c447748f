#include "display.h"

#include <QRegularExpression>
#include <cmath>

#include "link/portmap.h"

namespace meridan {

void fillLockText(LockTextTable& table) {
    table[0] = QStringLiteral("Unlocked");
    table[1] = QStringLiteral("Locked");
    table[9] = QStringLiteral("Unknown");
}

QString lockStateText(const LockTextTable& table, std::uint8_t value) {
    return value <= 1 ? table[value] : table[9];
}

QString inFreqText(std::int32_t mhz) {
    return QString::number(mhz);
}

QString outFreqText(float mhz) {
    if (std::isnan(mhz)) return QStringLiteral("NaN");
    if (std::isinf(mhz)) return mhz > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    if (mhz == 0.0f) return QStringLiteral("0");  // also -0: no sign without a negative value
    QString s = QString::number(static_cast<double>(mhz), 'g', 7);
    // Exponent form as the program has always shown it: 1.234568E+07, 1E-05.
    const qsizetype e = s.indexOf(QLatin1Char('e'));
    if (e >= 0) s[e] = QLatin1Char('E');
    return s;
}

QString serialNoText(std::int32_t serial) {
    return serial < 0 ? QString::number(serial) : QLatin1Char(' ') + QString::number(serial);
}

QString printableText(const QString& text) {
    return printablePath(text);
}

}  // namespace meridan
