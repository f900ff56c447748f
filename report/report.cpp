#include "report.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include "protocol/display.h"

namespace meridan::report {

namespace {

constexpr int Dpi = 300;
double mm(double v) {
    return v * Dpi / 25.4;
}

// A unit's text as it came, with control characters made visible: a text from a faulty unit
// must not hide the rest of its line.
QString visible(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString switchText(std::uint8_t v) {
    if (v == 0) return QStringLiteral("Off");
    if (v == 1) return QStringLiteral("On");
    return QString::number(v);
}

QFont font(double points, bool bold = false) {
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

// Draws `text` in the box, elided at its right end when it does not fit.
void cell(QPainter& p, const QRectF& box, const QString& text,
          int flags = Qt::AlignVCenter | Qt::AlignLeft) {
    const QRectF inner = box.adjusted(mm(1.2), 0, -mm(1.2), 0);
    p.drawText(inner, flags,
               QFontMetricsF(p.font(), p.device()).elidedText(text, Qt::ElideRight, inner.width()));
}

// A label and its value on one line; returns the next line's top.
double field(QPainter& p, double x, double y, double labelWidth, double width, const QString& label,
             const QString& value) {
    const double h = mm(6);
    p.setFont(font(10, true));
    cell(p, QRectF(x, y, labelWidth, h), label);
    p.setFont(font(10));
    cell(p, QRectF(x + labelWidth, y, width - labelWidth, h), value);
    return y + h;
}

}  // namespace

QStringList rowTexts(const UnitImage& unit, int i) {
    LockTextTable locks;
    fillLockText(locks);
    const int code = unit.Polarisation[i];
    return {switchText(unit.Carrier[i]),
            code < SatInputs ? QStringLiteral("SAT %1").arg(code + 1)
                             : QStringLiteral("code %1").arg(code),
            inFreqText(unit.InFreq[i]),
            switchText(unit.Gain[i]),
            outFreqText(unit.OutFreq[i]),
            lockStateText(locks, unit.InputLock[i]),
            lockStateText(locks, unit.OutputLock[i])};
}

bool writePdf(const QString& path, const Commissioning& r, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) *error = file.errorString();
        return false;
    }
    {
        QPdfWriter pdf(&file);
        pdf.setResolution(Dpi);
        pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                      QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter));
        pdf.setTitle(QStringLiteral("Commissioning report %1 %2")
                         .arg(visible(r.unit.UnitType), QString::number(r.unit.SerialNo)));
        pdf.setCreator(r.program);
        QPainter p;
        if (!p.begin(&pdf)) {
            if (error) *error = QStringLiteral("the PDF writer could not start");
            file.cancelWriting();
            return false;
        }
        const double width = mm(180);
        const QPen line(Qt::black, mm(0.25));
        const QPen thin(Qt::darkGray, mm(0.15));
        double y = 0;

        p.setFont(font(18, true));
        p.drawText(QRectF(0, y, width, mm(10)), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Commissioning report"));
        p.setFont(font(9));
        p.drawText(QRectF(0, y, width, mm(10)), Qt::AlignRight | Qt::AlignVCenter,
                   QStringLiteral("%1\nprinted %2")
                       .arg(r.program, QLocale::c().toString(QDateTime::currentDateTime(),
                                                             QStringLiteral("yyyy-MM-dd HH:mm"))));
        y += mm(12);
        p.setPen(line);
        p.drawLine(QPointF(0, y), QPointF(width, y));
        y += mm(3);

        // The unit.
        const double half = width / 2;
        const QString readAt =
            r.readAt.isValid()
                ? QLocale::c().toString(r.readAt, QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                : QStringLiteral("-");
        double left = y;
        left = field(p, 0, left, mm(30), half, QStringLiteral("Type:"), visible(r.unit.UnitType));
        left = field(p, 0, left, mm(30), half, QStringLiteral("HW-Version:"),
                     visible(r.unit.HwVersion));
        left = field(p, 0, left, mm(30), half, QStringLiteral("SW-Version:"),
                     visible(r.unit.SwVersion));
        left = field(p, 0, left, mm(30), half, QStringLiteral("Serial-No:"),
                     QString::number(r.unit.SerialNo));
        double right = y;
        right = field(p, half, right, mm(25), half, QStringLiteral("Port:"), visible(r.port));
        right = field(p, half, right, mm(25), half, QStringLiteral("Read at:"), readAt);
        y = std::max(left, right) + mm(4);

        // The converters.
        const QStringList heads{QStringLiteral("Converter"), QStringLiteral("Carrier"),
                                QStringLiteral("Input"),     QStringLiteral("Input MHz"),
                                QStringLiteral("Gain"),      QStringLiteral("Output MHz"),
                                QStringLiteral("Input PLL"), QStringLiteral("Output PLL")};
        const double widths[] = {25, 17, 19, 22, 15, 24, 29, 29};  // mm, 180 in all
        const double rowH = mm(7.5);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(220, 220, 220));
        p.drawRect(QRectF(0, y, width, rowH));
        for (int i = 1; i < ConverterCount; i += 2)
            p.drawRect(QRectF(0, y + rowH * (i + 1), width, rowH));
        p.setBrush(Qt::NoBrush);
        p.setPen(Qt::black);
        for (int row = 0; row <= ConverterCount; ++row) {
            const QStringList texts = row == 0
                                          ? heads
                                          : QStringList{QStringLiteral("Converter %1").arg(row)} +
                                                rowTexts(r.unit, row - 1);
            double x = 0;
            for (int c = 0; c < texts.size(); ++c) {
                const bool alarm = row > 0 && c >= 6 && texts[c] != QStringLiteral("Locked");
                p.setFont(font(10, row == 0 || c == 0 || alarm));
                cell(p, QRectF(x, y + rowH * row, mm(widths[c]), rowH), texts[c],
                     Qt::AlignVCenter | (c == 3 || c == 5 ? Qt::AlignRight : Qt::AlignLeft));
                x += mm(widths[c]);
            }
        }
        p.setPen(thin);
        for (int row = 0; row <= ConverterCount + 1; ++row)
            p.drawLine(QPointF(0, y + rowH * row), QPointF(width, y + rowH * row));
        double x = 0;
        for (double w : widths) {
            p.drawLine(QPointF(x, y), QPointF(x, y + rowH * (ConverterCount + 1)));
            x += mm(w);
        }
        p.drawLine(QPointF(width, y), QPointF(width, y + rowH * (ConverterCount + 1)));
        y += rowH * (ConverterCount + 1) + mm(5);

        // What was done.
        p.setPen(Qt::black);
        const QStringList saved = r.lastSave.isEmpty()
                                      ? QStringList{QStringLiteral("no Save in this session")}
                                      : r.lastSave.split(QLatin1Char('\n')).mid(0, 5);
        for (qsizetype k = 0; k < saved.size(); ++k)
            y = field(p, 0, y, mm(45), width, k == 0 ? QStringLiteral("Last Save:") : QString(),
                      saved[k]);
        y = field(p, 0, y, mm(45), width, QStringLiteral("Backup before Save:"),
                  r.backupFile.isEmpty() ? QStringLiteral("none") : r.backupFile);
        if (r.firmware) {
            const FirmwareSent& f = *r.firmware;
            y = field(p, 0, y, mm(45), width, QStringLiteral("Firmware sent:"),
                      QStringLiteral("%1, %2 bytes: %3").arg(f.name).arg(f.size).arg(f.result));
            y = field(p, 0, y, mm(45), width, QStringLiteral("SHA-256:"),
                      QString::fromLatin1(f.sha256.toHex()));
        } else {
            y = field(p, 0, y, mm(45), width, QStringLiteral("Firmware sent:"),
                      QStringLiteral("none in this session"));
        }
        y += mm(4);
        p.setPen(line);
        p.drawLine(QPointF(0, y), QPointF(width, y));
        y += mm(3);

        // The installer's part.
        y = field(p, 0, y, mm(45), width, QStringLiteral("Installer:"), r.installer);
        y = field(p, 0, y, mm(45), width, QStringLiteral("Site:"), r.site);
        p.setFont(font(10, true));
        cell(p, QRectF(0, y, mm(45), mm(6)), QStringLiteral("Notes:"));
        y += mm(6);
        const QRectF notes(0, y, width, mm(45));
        p.setPen(thin);
        p.drawRect(notes);
        p.setPen(Qt::black);
        p.setFont(font(10));
        const QRectF inner = notes.adjusted(mm(2), mm(1.5), -mm(2), -mm(1.5));
        QString text = r.notes;
        // Notes longer than the box are cut at a whole line, and the cut is shown.
        const QFontMetricsF metrics(p.font(), p.device());
        const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
        if (metrics.boundingRect(inner, flags, text).height() > inner.height()) {
            while (!text.isEmpty() &&
                   metrics.boundingRect(inner, flags, text + QStringLiteral(" [...]")).height() >
                       inner.height())
                text.chop(std::max<qsizetype>(1, text.size() / 20));
            text += QStringLiteral(" [...]");
        }
        p.drawText(inner, flags, text);
        y = notes.bottom() + mm(14);
        p.setPen(line);
        p.drawLine(QPointF(0, y), QPointF(mm(80), y));
        p.drawLine(QPointF(mm(100), y), QPointF(width, y));
        p.setFont(font(9));
        p.setPen(Qt::black);
        p.drawText(QRectF(0, y + mm(1), mm(80), mm(5)), Qt::AlignLeft | Qt::AlignTop,
                   QStringLiteral("Date, signature of the installer"));
        p.drawText(QRectF(mm(100), y + mm(1), mm(80), mm(5)), Qt::AlignLeft | Qt::AlignTop,
                   QStringLiteral("Date, signature of the customer"));
        if (!p.end()) {
            if (error) *error = QStringLiteral("the PDF writer failed");
            file.cancelWriting();
            return false;
        }
    }
    if (!file.commit()) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace meridan::report
