// The commissioning report: one A4 page whose text a PDF reader finds again.
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "report/report.h"

using namespace meridan;
using namespace meridan::report;

class TstReport : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void onePageWithEveryValue();
    void failureLeavesNothing();
};

namespace {

Commissioning sample() {
    Commissioning r;
    r.unit.UnitType = QStringLiteral("MC 1200\x1b[2J");
    r.unit.HwVersion = QStringLiteral("1.04");
    r.unit.SwVersion = QStringLiteral("2.17");
    r.unit.SerialNo = 10423;
    for (int i = 0; i < ConverterCount; ++i) {
        r.unit.Carrier[i] = 1;
        r.unit.Polarisation[i] = i % 4;
        r.unit.InFreq[i] = 1010 + 37 * i;
        r.unit.Gain[i] = i % 2;
        r.unit.OutFreq[i] = 474.5f + 8 * i;
        r.unit.InputLock[i] = 1;
        r.unit.OutputLock[i] = 1;
    }
    r.unit.Polarisation[6] = 5;  // a code without an entry is printed as it came
    r.unit.InputLock[6] = 0;
    r.port = QStringLiteral("Com1 (/dev/pts/4)");
    r.readAt = QDateTime(QDate(2026, 12, 7), QTime(12, 3, 7));
    r.program = QStringLiteral("Meridan Converter V1.0.0");
    r.lastSave = QStringLiteral(
        "Saved 12:03:07; the unit did not take 2 fields:\nConverter 7: input 1274 MHz on unit, "
        "1300 MHz sent\nConverter 7: gain OFF on unit, ON sent");
    r.backupFile = QStringLiteral("MC 1200-10423-20261207-120259.json");
    r.firmware = FirmwareSent{QStringLiteral("VELNO_S0100_demo.bin"), 196608,
                              QByteArray(32, '\xab'), QStringLiteral("Update Successful")};
    r.installer = QStringLiteral("A. Installer");
    r.site = QStringLiteral("Roof, building 3");
    r.notes = QStringLiteral("Dish aligned for the second orbital position. ").repeated(60);
    return r;
}

QString run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(20000) || p.exitCode() != 0) return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

}  // namespace

void TstReport::onePageWithEveryValue() {
    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
        QSKIP("pdftotext (poppler-utils) is not installed");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.pdf"));
    QString error;
    QVERIFY2(writePdf(path, sample(), &error), qPrintable(error));

    const QString info = run("pdfinfo", {path});
    QVERIFY2(info.contains(QRegularExpression("Pages:\\s+1\\n")) &&
                 info.contains(QRegularExpression("Page size:.*\\(A4\\)")),
             qPrintable(info));

    const QString text = run("pdftotext", {"-layout", path, "-"});
    QVERIFY2(text.contains("10423") && text.contains("MC 1200\\x1b[2J"), qPrintable(text));
    for (int i = 0; i < ConverterCount; ++i) {
        const QString row = QString("Converter %1 ").arg(i + 1);
        const int at =
            text.indexOf(QRegularExpression("^[ \\t]*" + row, QRegularExpression::MultilineOption));
        QVERIFY2(at >= 0, qPrintable(row));
        const QString line = text.mid(at, text.indexOf(u'\n', at) - at);
        for (const QString& value : {QString::number(1010 + 37 * i), QString::number(474.5 + 8 * i),
                                     i == 6 ? QString("code 5") : QString("SAT %1").arg(i % 4 + 1),
                                     i == 6 ? QString("Unlocked") : QString("Locked")})
            QVERIFY2(line.contains(value), qPrintable(line + " lacks " + value));
    }
    // Every line of the last Save, whole.
    for (const QString& line : sample().lastSave.split('\n'))
        QVERIFY2(text.contains(line), qPrintable(line));
    QVERIFY(text.contains(QStringLiteral("MC 1200-10423-20261207-120259.json")));
    QVERIFY(text.contains(QString::fromLatin1(QByteArray(32, '\xab').toHex())));
    // Notes that do not fit their box are cut, and the page stays one page.
    QVERIFY(text.contains(QStringLiteral("[...]")));
}

void TstReport::failureLeavesNothing() {
    QTemporaryDir dir;
    QString error;
    QVERIFY(!writePdf(dir.filePath(QStringLiteral("missing/report.pdf")), sample(), &error));
    QVERIFY(!error.isEmpty());
    // A report that cannot be written leaves an older one of that name as it was.
    const QString path = dir.filePath(QStringLiteral("report.pdf"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("older report");
    old.close();
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
    const bool written = writePdf(path, sample(), &error);
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (getuid() == 0) QSKIP("root writes into a read-only folder");
    QVERIFY(!written);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("older report"));
}

QTEST_MAIN(TstReport)
#include "tst_report.moc"
