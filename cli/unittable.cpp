#include "unittable.h"

#include <QTextStream>

#include "plan/profile.h"
#include "protocol/display.h"

namespace meridan::cli {

using plan::isUnusual;

QString formatUnitTable(const UnitImage& unit, const MemoryUnitView& view) {
    QString s;
    QTextStream t(&s);
    t << "Type:        " << printableText(view.unitType) << '\n'
      << "HW-Version:  " << printableText(view.hwVersion) << '\n'
      << "SW-Version:  " << printableText(view.swVersion) << '\n'
      << "Serial-No:  " << view.serialNo << "\n\n";
    t << "Converter  Carrier  Input        Input MHz  Gain  Input PLL  Output MHz  Output PLL\n";
    bool marked = false;
    // A value no unit reports keeps its place in the table, marked "!".
    auto mark = [&](ChannelField field, int value, const QString& text) {
        if (!isUnusual(field, value)) return text;
        marked = true;
        return text + QLatin1Char('!');
    };
    auto onOff = [](int v) {
        return v == 0 ? QStringLiteral("off") : v == 1 ? QStringLiteral("on") : QString::number(v);
    };
    for (int i = 0; i < ConverterCount; ++i) {
        const auto& c = view.channels[i];
        const int code = unit.Polarisation[i];
        const QString sat = code < SatInputs ? QStringLiteral("SAT %1").arg(code + 1)
                                             : QStringLiteral("SAT code %1").arg(code);
        t << QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8")
                 .arg(i + 1, 9)
                 .arg(mark(ChannelField::Carrier, unit.Carrier[i], onOff(unit.Carrier[i])), -7)
                 .arg(mark(ChannelField::Polarisation, code, sat), -11)
                 .arg(mark(ChannelField::InFreq, unit.InFreq[i], c.inFreq), 9)
                 .arg(mark(ChannelField::Gain, unit.Gain[i], onOff(unit.Gain[i])), -4)
                 .arg(c.inputLock, -9)
                 .arg(c.outFreq, 10)
                 .arg(c.outputLock)
          << '\n';
    }
    if (marked)
        t << "\n! outside the range a unit reports (line noise or a fault): shown as read\n";
    return s;
}

}  // namespace meridan::cli
