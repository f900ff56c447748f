// Frames, value encodings, display rules and the conversion of the window's fields.
#include <QtTest>
#include <limits>

#include "protocol/display.h"
#include "protocol/frame.h"
#include "protocol/sequences.h"

using namespace meridan;

class TstCodec : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void frames_data();
    void frames();
    void values_data();
    void values();
    void gainRule();
    void commandTable();
    void outFreqText_data();
    void outFreqText();
    void unitTexts();
    void fieldConversion_data();
    void fieldConversion();
    void untouchedFieldsGoBackRaw();
};

namespace {
// A window's view: every field holds the unit's value but those the user edited.
class EditsView : public MemoryUnitView {
  public:
    bool edited(int channel, ChannelField field) const override {
        return editedFields.contains({channel, int(field)});
    }
    QSet<QPair<int, int>> editedFields;
};
}  // namespace

void TstCodec::frames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("hex");
    const QByteArray z14(28, '0'), z13(26, '0'), z12(24, '0'), z9(18, '0');
    QTest::newRow("plain: unit type") << CommandFrame::plain(ReadUnitType).bytes() << "30" + z14;
    QTest::newRow("converter: input frequency of 12")
        << CommandFrame::forConverter(ReadInFreq, 11).bytes() << "180b" + z13;
    QTest::newRow("byte: SAT 4 on converter 1")
        << CommandFrame::withByte(SetPolarisation, 0, 3).bytes() << "170003" + z12;
    QTest::newRow("long: 2150 MHz on converter 6")
        << CommandFrame::withLong(SetInFreq, 5, 2150).bytes() << "190500000866" + z9;
    QTest::newRow("long: negative")
        << CommandFrame::withLong(SetInFreq, 2, -2).bytes() << "1902fffffffe" + z9;
}

void TstCodec::frames() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, hex);
    QCOMPARE(frame.size(), 15);
    QCOMPARE(frame.toHex(), hex);
}

void TstCodec::values_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint32>("asInt");
    QTest::addColumn<float>("asFloat");
    // Rows without a float meaning carry 0 there.
    QTest::newRow("470.0 MHz") << QByteArray::fromHex("43eb0000") << qint32(0x43eb0000) << 470.0f;
    QTest::newRow("474.5 MHz") << QByteArray::fromHex("43ed4000") << qint32(0x43ed4000) << 474.5f;
    QTest::newRow("-862.25 MHz") << QByteArray::fromHex("c4579000") << qint32(0xc4579000)
                                 << -862.25f;
    QTest::newRow("1000") << QByteArray::fromHex("000003e8") << qint32(1000) << 0.0f;
    QTest::newRow("-1") << QByteArray::fromHex("ffffffff") << qint32(-1) << 0.0f;
    QTest::newRow("surplus ignored") << QByteArray::fromHex("000003e8ffff") << qint32(1000) << 0.0f;
}

void TstCodec::values() {
    QFETCH(QByteArray, bytes);
    QFETCH(qint32, asInt);
    QFETCH(float, asFloat);
    QCOMPARE(decodeInt32(bytes), asInt);
    QCOMPARE(encodeInt32(asInt), bytes.left(4));
    if (asFloat != 0.0f) QCOMPARE(decodeFloat32(bytes), asFloat);
}

void TstCodec::gainRule() {
    // 2 means on as well; other values are kept as the unit sent them.
    for (const auto& [reply, gain] : {std::pair{0, 0}, {1, 1}, {2, 1}, {3, 3}, {255, 255}})
        QCOMPARE(gainFromReply(std::uint8_t(reply)), gain);
}

void TstCodec::commandTable() {
    QCOMPARE(describeFrame(CommandFrame::withLong(SetInFreq, 2, 1250).bytes()),
             "set input frequency (25), converter 3, value 1250");
    QCOMPARE(describeFrame(CommandFrame::plain(SaveSettings).bytes()), "store settings (33)");
    QVERIFY(describeFrame(QByteArray::fromHex("63")).startsWith("unknown command 99"));
}

void TstCodec::outFreqText_data() {
    QTest::addColumn<float>("mhz");
    QTest::addColumn<QString>("shown");
    QTest::newRow("whole") << 470.0f << "470";
    QTest::newRow("quarter") << 474.25f << "474.25";
    QTest::newRow("single precision noise") << 0.1f << "0.1";
    QTest::newRow("7 significant digits") << 862.1234567f << "862.1235";
    QTest::newRow("exponent") << 12345678.0f << "1.234568E+07";
    QTest::newRow("negative zero") << -0.0f << "0";
    QTest::newRow("not a number") << std::numeric_limits<float>::quiet_NaN() << "NaN";
}

void TstCodec::outFreqText() {
    QFETCH(float, mhz);
    QFETCH(QString, shown);
    QCOMPARE(meridan::outFreqText(mhz), shown);
}

void TstCodec::unitTexts() {
    QCOMPARE(serialNoText(10423) + '|' + serialNoText(-7) + '|' + inFreqText(-5), " 10423|-7|-5");
    QCOMPARE(serialNoText(std::numeric_limits<qint32>::min()), "-2147483648");

    LockTextTable table;
    fillLockText(table);
    QCOMPARE(lockStateText(table, 0) + lockStateText(table, 1) + lockStateText(table, 9),
             "UnlockedLockedUnknown");
}

void TstCodec::fieldConversion_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("digits") << "1250" << true << 1250;
    QTest::newRow("blanks around") << " 950 " << true << 950;
    QTest::newRow("highest") << "2150" << true << 2150;
    QTest::newRow("below the range") << "949" << false << 0;
    QTest::newRow("above the range") << "2151" << false << 0;
    QTest::newRow("sign") << "-3" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("letters") << "12a0" << false << 0;
    QTest::newRow("decimal") << "1000.5" << false << 0;
    QTest::newRow("too large") << "2147483648" << false << 0;
}

void TstCodec::fieldConversion() {
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, value);
    MemoryUnitView view;
    for (int i = 0; i < ConverterCount; ++i)
        view.setInFreqText(i, QStringLiteral("1000"));
    view.setInFreqText(4, text);
    view.setGain(4, 1);
    view.setCarrier(4, 1);
    view.selectPolarisation(4, 2);
    auto result = collectChannelSettings(view, UnitImage{});
    QCOMPARE(std::holds_alternative<ChannelSettings>(result), ok);
    if (ok) {
        const ChannelSetting s = std::get<ChannelSettings>(result)[4];
        QCOMPARE(QList<int>({s.inFreq, s.polarisation, s.gain, s.carrier}),
                 QList<int>({value, 2, 1, 1}));
    } else {
        // The message is untouchedFieldsGoBackRaw's.
        const FieldError e = std::get<FieldError>(result);
        QCOMPARE(QPair(e.channel, e.field), QPair(4, ChannelField::InFreq));
    }
}

void TstCodec::untouchedFieldsGoBackRaw() {
    // Values the unit reported that no control can show go back raw unless edited; an edited
    // field is sent as its control stands, and checked.
    UnitImage unit;
    EditsView view;
    for (int i = 0; i < ConverterCount; ++i) {
        unit.Carrier[i] = 3;
        unit.Polarisation[i] = 5;
        unit.InFreq[i] = 3000;
        unit.Gain[i] = 255;
        view.selectPolarisation(i, 5);
        view.setInFreqText(i, QStringLiteral("1200"));
        view.setGain(i, 1);
    }
    view.editedFields = {{2, int(ChannelField::InFreq)}, {2, int(ChannelField::Gain)}};
    auto result = collectChannelSettings(view, unit);
    const ChannelSettings& s = std::get<ChannelSettings>(result);
    QCOMPARE(QList<int>({s[2].inFreq, s[2].gain, s[2].carrier, s[2].polarisation}),
             QList<int>({1200, 1, 3, 5}));
    QCOMPARE(QPair(s[3].inFreq, int(s[3].gain)), QPair(3000, 255));

    view.setInFreqText(2, QStringLiteral("3000"));
    result = collectChannelSettings(view, unit);
    QCOMPARE(std::get<FieldError>(result).message,
             QStringLiteral("Converter 3: Input Frequency must be in the range 950 to 2150MHz!"));
    view.setInFreqText(2, QStringLiteral("1200"));
    // A SAT list emptied, and a later converter's box emptied: the first is named.
    view.editedFields.insert({7, int(ChannelField::Polarisation)});
    view.setInFreqText(9, QString());
    view.editedFields.insert({9, int(ChannelField::InFreq)});
    result = collectChannelSettings(view, unit);
    const FieldError e = std::get<FieldError>(result);
    QCOMPARE(e.message, QStringLiteral("Converter 8: No SAT input chosen!"));
    QCOMPARE(QPair(e.channel, e.field), QPair(7, ChannelField::Polarisation));
}

QTEST_GUILESS_MAIN(TstCodec)
#include "tst_codec.moc"
