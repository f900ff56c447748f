// Reading and writing the whole unit against the simulated headend, in virtual time: the
// exact bytes on the wire, the pauses, and every way a sequence can stop.
#include <QtTest>

#include "protocol/commands.h"
#include "protocol/display.h"
#include "protocol/frame.h"
#include "protocol/readcheck.h"
#include "protocol/sequences.h"
#include "support/rig.h"

using namespace meridan;
using namespace meridan::test;

namespace {

// Remembers each switch of the range check, to see it restored.
class RecordingView : public MemoryUnitView {
  public:
    void setValidationSuspended(int channel, bool suspended) override {
        MemoryUnitView::setValidationSuspended(channel, suspended);
        suspensions.append({channel, suspended});
    }
    QList<QPair<int, bool>> suspensions;
};

QByteArray expectedReadStream() {
    QByteArray s = "TS";
    for (int code : {48, 19, 20})
        s += CommandFrame::plain(std::uint8_t(code)).bytes() + "NN";
    s += CommandFrame::plain(21).bytes() + "N";
    for (int i = 0; i < ConverterCount; ++i) {
        for (int code : {45, 22, 24, 26, 30, 27, 29})
            s += CommandFrame::forConverter(std::uint8_t(code), std::uint8_t(i)).bytes() + "N";
    }
    return s + CommandFrame::plain(40).bytes();
}

struct Plan {
    int carrier, sat, mhz, gain;
};
Plan planFor(int i) {
    return {i % 3 == 0 ? 0 : 1, (i + 1) % 4, 950 + 100 * i, (i / 2) % 2};
}

void fillView(MemoryUnitView& view) {
    for (int i = 0; i < ConverterCount; ++i) {
        const Plan p = planFor(i);
        view.setCarrier(i, p.carrier);
        view.selectPolarisation(i, p.sat);
        view.setInFreqText(i, QString::number(p.mhz));
        view.setGain(i, p.gain);
    }
}

QByteArray expectedWriteStream() {
    QByteArray s = "TS";
    for (int i = 0; i < ConverterCount; ++i) {
        const Plan p = planFor(i);
        const auto idx = std::uint8_t(i);
        s += CommandFrame::withByte(23, idx, std::uint8_t(p.sat)).bytes();
        s += CommandFrame::withLong(25, idx, p.mhz).bytes();
        s += CommandFrame::forConverter(26, idx).bytes() + "N";
        s += CommandFrame::withByte(31, idx, std::uint8_t(p.gain)).bytes();
        s += CommandFrame::withByte(46, idx, std::uint8_t(p.carrier)).bytes();
        s += CommandFrame::forConverter(29, idx).bytes() + "N";
    }
    return s + CommandFrame::plain(33).bytes() + CommandFrame::plain(40).bytes();
}

// Every "N" follows a data reply that came after the host's previous write.
bool acknowledgesOnlyData(const WireLog& wire) {
    QByteArray since;
    for (const auto& c : wire.chunks) {
        if (c.direction == WireDirection::FromDevice) {
            since += c.bytes;
            continue;
        }
        if (c.bytes == "N" && (since.isEmpty() || since.endsWith("EN") || since.endsWith("OK")))
            return false;
        since.clear();
    }
    return true;
}

struct Harness {
    SimRig rig;
    UnitImage unit;
    LockTextTable lockText;
    RecordingView view;
    Harness() { fillLockText(lockText); }
    SequenceResult read() { return read_unit_data_(rig.link, unit, lockText, view); }
    WriteOutcome write() { return set_unit_data_(rig.link, unit, lockText, view); }
};

}  // namespace

class TstSequences : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void fullReadOnTheWire();
    void readShowsOddValuesSafely();
    void fullWriteOnTheWire();
    void writeSendsDisabledChannelsToo();
    void readStopsAtTheFirstFailure_data();
    void readStopsAtTheFirstFailure();
    void readToleratesSurplusLateAndEmptyReplies();
    void lostPortOrAbortStopsTheRead();
    void writeStopsAtTheFirstFailure_data();
    void writeStopsAtTheFirstFailure();
    void writeRefusesFieldsItCannotSend();
    void storeAndEndPauses();
    void stopRequestEndsBetweenConverters_data();
    void stopRequestEndsBetweenConverters();
    void checkedReads_data();
    void checkedReads();
};

void TstSequences::fullReadOnTheWire() {
    Harness h;
    QCOMPARE(h.read(), SequenceResult::Complete);
    QCOMPARE(h.rig.wire.sent(), expectedReadStream());
    QCOMPARE(h.rig.model.frames().size(), 89);
    QVERIFY2(h.rig.model.violations().isEmpty(), qPrintable(h.rig.model.violations().join('\n')));
    QVERIFY(acknowledgesOnlyData(h.rig.wire));
    QVERIFY(h.rig.messages.shown.isEmpty());

    // 0.5 s after "OK" before the first command; 0.5 s after the end's "EN".
    const auto& chunks = h.rig.wire.chunks;
    QCOMPARE(chunks[1].bytes, QByteArray("OK"));
    QCOMPARE(h.rig.wire.timeSent(CommandFrame::plain(48).bytes()) - chunks[1].time, 0.5);
    QCOMPARE(chunks.last().bytes, QByteArray("EN"));
    QCOMPARE(h.rig.clock.now() - chunks.last().time, 0.5);

    // The view shows what the unit holds.
    const sim::HeadendState& s = h.rig.model.state();
    QCOMPARE(h.view.unitType + h.view.hwVersion + h.view.swVersion,
             s.unitType + s.hwVersion + s.swVersion);
    QCOMPARE(h.unit.SerialNo, s.serialNo);
    for (int i = 0; i < ConverterCount; ++i) {
        const sim::SimChannel& c = s.channels[i];
        const auto& v = h.view.channels[i];
        QCOMPARE(v.carrier, int(c.carrier));
        QCOMPARE(v.polarisation, int(c.polarisation));
        QCOMPARE(v.inFreq, QString::number(c.inFreq));
        QCOMPARE(v.gain, int(c.gain));
        QCOMPARE(v.outFreq, QString::number(c.outFreq));
        QCOMPARE(v.inputLock + v.outputLock,
                 lockStateText(h.lockText, c.inputLock) + lockStateText(h.lockText, c.outputLock));
        // Carrier off: the three edit fields disabled; the output box is never editable.
        QCOMPARE(QList<bool>({v.polarisationEnabled, v.inFreqEnabled, v.gainEnabled}),
                 QList<bool>(3, c.carrier != 0));
        QVERIFY(!v.outFreqEnabled && !v.validationSuspended);
    }
    // Each converter's range check is off while it is filled, then on again.
    QCOMPARE(h.view.suspensions.size(), 2 * ConverterCount);
    QCOMPARE(h.view.suspensions[6], qMakePair(3, true));
    QCOMPARE(h.view.suspensions[7], qMakePair(3, false));
}

void TstSequences::readShowsOddValuesSafely() {
    sim::HeadendState s = sim::HeadendState::demo();
    s.serialNo = -42;
    s.channels[0].inputLock = 2;
    s.channels[0].outputLock = 200;
    s.channels[1].polarisation = 5;
    s.channels[2].gain = 1;
    s.channels[3].gain = 3;
    s.channels[5].carrier = 2;
    Harness h;
    h.rig.model.state() = s;
    h.rig.model.faults().gainOnValue = 2;
    QCOMPARE(h.read(), SequenceResult::Complete);
    QCOMPARE(h.view.serialNo + h.view.channels[0].inputLock + h.view.channels[0].outputLock,
             "-42UnknownUnknown");
    QCOMPARE(h.view.channels[1].polarisation, -1);  // no entry selected
    QCOMPARE(h.unit.Polarisation[1], 5);
    QCOMPARE(h.unit.Gain[2], 1);  // the unit answered 2
    QCOMPARE(h.unit.Gain[3], 3);
    QCOMPARE(h.view.channels[5].carrier, 2);
    QVERIFY(h.view.channels[5].inFreqEnabled);
}

void TstSequences::fullWriteOnTheWire() {
    Harness h;
    fillView(h.view);
    const WriteOutcome out = h.write();
    QCOMPARE(out.result, SequenceResult::Complete);
    QCOMPARE(h.rig.wire.sent(), expectedWriteStream());
    QVERIFY2(h.rig.model.violations().isEmpty(), qPrintable(h.rig.model.violations().join('\n')));
    QVERIFY(acknowledgesOnlyData(h.rig.wire));
    QVERIFY(h.rig.messages.shown.isEmpty());

    QCOMPARE(h.rig.model.stores(), 1);
    for (int i = 0; i < ConverterCount; ++i) {
        const sim::SimChannel& c = h.rig.model.stored().channels[i];
        const Plan p = planFor(i);
        QCOMPARE(int(c.carrier), p.carrier);
        QCOMPARE(int(c.polarisation), p.sat);
        QCOMPARE(c.inFreq, p.mhz);
        QCOMPARE(int(c.gain), p.gain);
        // The lock labels show what the unit answered after the new settings.
        QCOMPARE(h.view.channels[i].outputLock,
                 p.carrier ? QStringLiteral("Locked") : QStringLiteral("Unlocked"));
    }

    // 5 s between the store command and its "EN" being taken, 0.5 s after the end's "EN".
    const double store = h.rig.wire.timeSent(CommandFrame::plain(33).bytes());
    const double end = h.rig.wire.timeSent(CommandFrame::plain(40).bytes());
    QCOMPARE(end - store, 5.0);
    QCOMPARE(h.rig.clock.now() - h.rig.wire.chunks.last().time, 0.5);
}

void TstSequences::writeSendsDisabledChannelsToo() {
    Harness h;
    fillView(h.view);
    for (int i = 0; i < ConverterCount; ++i) {
        h.view.setCarrier(i, 0);
        h.view.setFieldEnabled(i, ChannelField::InFreq, false);
    }
    QCOMPARE(h.write().result, SequenceResult::Complete);
    QCOMPARE(h.rig.model.frames().size(), 6 * ConverterCount + 2);
    for (const auto& c : h.rig.model.stored().channels)
        QCOMPARE(int(c.carrier), 0);
}

void TstSequences::readStopsAtTheFirstFailure_data() {
    QTest::addColumn<bool>("dropEnOnly");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("channel");  // converter the stop falls in, -1 for the unit commands
    QTest::newRow("no type text") << false << 1 << -1;
    QTest::newRow("hardware version without EN") << true << 2 << -1;
    QTest::newRow("no serial number") << false << 4 << -1;
    QTest::newRow("converter 1 carrier without EN") << true << 5 << 0;
    QTest::newRow("converter 4 input lock unanswered") << false << 4 + 7 * 3 + 4 << 3;
    QTest::newRow("converter 12 output lock without EN") << true << 88 << 11;
}

void TstSequences::readStopsAtTheFirstFailure() {
    QFETCH(bool, dropEnOnly);
    QFETCH(int, command);
    QFETCH(int, channel);
    Harness h;
    (dropEnOnly ? h.rig.model.faults().dropEnAt : h.rig.model.faults().noReplyAt) = command;
    QCOMPARE(h.read(), SequenceResult::Failed);

    if (command <= 6 * ConverterCount)  // nothing after a failing converter command
        QCOMPARE(h.rig.model.frames().size(), command);
    QVERIFY(!h.rig.wire.sent().contains(CommandFrame::plain(40).bytes()));
    QCOMPARE(h.rig.messages.texts(), QStringList{"Connect Error: Connection aborted!"});

    if (command >= 2) QCOMPARE(h.view.unitType, h.rig.model.state().unitType);
    if (command == 2) QVERIFY(h.view.hwVersion.isEmpty());
    if (channel >= 0) {
        // Suspended and restored for the failing converter; later ones untouched.
        QCOMPARE(h.view.suspensions.last(), qMakePair(channel, false));
        QVERIFY(!h.view.channels[channel].validationSuspended);
        if (channel + 1 < ConverterCount) QVERIFY(h.view.channels[channel + 1].inFreq.isEmpty());
    }
    if (channel == 3) {
        QCOMPARE(h.view.channels[3].inFreq,
                 QString::number(h.rig.model.state().channels[3].inFreq));
        QVERIFY(h.view.channels[3].inputLock.isEmpty());
    }
}

void TstSequences::readToleratesSurplusLateAndEmptyReplies() {
    // Texts are bytes, one character each: a type text of 255 bytes of every value but 0.
    Harness t;
    QByteArray bytes;
    for (int b = 1; b < 256; ++b)
        bytes.append(char(b));
    t.rig.model.state().unitType = QString::fromLatin1(bytes);
    QCOMPARE(t.read(), SequenceResult::Complete);
    QCOMPARE(t.unit.UnitType.toLatin1(), bytes);
    QCOMPARE(t.view.unitType, t.unit.UnitType);
    QCOMPARE(t.view.hwVersion, t.rig.model.state().hwVersion);

    Harness h;
    h.rig.model.faults().surplusAfterData = "xyz";
    h.rig.model.faults().lateAfterOk = "??";
    h.rig.model.state().unitType.clear();  // length byte 0
    QCOMPARE(h.read(), SequenceResult::Complete);
    QVERIFY(h.view.unitType.isEmpty());
    QCOMPARE(h.view.hwVersion, h.rig.model.state().hwVersion);
    QCOMPARE(h.unit.InFreq[11], h.rig.model.state().channels[11].inFreq);
    // The empty text still gets both acknowledgements.
    QVERIFY(h.rig.wire.sent().startsWith("TS" + CommandFrame::plain(48).bytes() + "NN"));
    QVERIFY(h.rig.model.violations().isEmpty());
}

void TstSequences::lostPortOrAbortStopsTheRead() {
    Harness h;
    h.rig.model.faults().replyDelay = 0.01;
    h.rig.pump.at(0.9, [&] { h.rig.port.loseDevice(); });
    QCOMPARE(h.read(), SequenceResult::Failed);
    QCOMPARE(h.rig.clock.now(), 0.9);
    QVERIFY(h.rig.messages.shown.size() == 1 && h.rig.messages.shown[0].title == "ComPortError");
    QVERIFY(h.rig.wire.chunks.last().time <= 0.9);
    QVERIFY(!h.rig.port.isOpen());

    // An abort ends it silently.
    Harness a;
    a.rig.model.faults().replyDelay = 0.01;
    a.rig.pump.at(1.2, [&] { a.rig.link.abort(); });
    QCOMPARE(a.read(), SequenceResult::Failed);
    QCOMPARE(a.rig.clock.now(), 1.2);
    QVERIFY(a.rig.messages.shown.isEmpty());
    QVERIFY(a.rig.wire.lastSent() <= 1.2);
    for (const auto& c : a.view.channels)
        QVERIFY(!c.validationSuspended);
}

void TstSequences::writeStopsAtTheFirstFailure_data() {
    QTest::addColumn<bool>("dropEnOnly");
    QTest::addColumn<int>("command");  // the one that fails
    QTest::addColumn<int>("convertersSent");
    QTest::addColumn<bool>("stored");
    QTest::newRow("converter 1 SAT input unanswered") << false << 1 << 0 << false;
    QTest::newRow("converter 3 gain without EN") << true << 6 * 2 + 4 << 2 << false;
    // Complete only when stored and ended.
    QTest::newRow("store command without EN") << true << 6 * ConverterCount + 1 << 12 << false;
    QTest::newRow("end command without EN") << true << 6 * ConverterCount + 2 << 12 << true;
}

void TstSequences::writeStopsAtTheFirstFailure() {
    QFETCH(bool, dropEnOnly);
    QFETCH(int, command);
    QFETCH(int, convertersSent);
    QFETCH(bool, stored);
    Harness h;
    fillView(h.view);
    (dropEnOnly ? h.rig.model.faults().dropEnAt : h.rig.model.faults().noReplyAt) = command;
    const WriteOutcome out = h.write();
    QCOMPARE(out.result, SequenceResult::Failed);
    QCOMPARE(out.stored, stored);
    QCOMPARE(out.convertersSent, convertersSent);
    // The unit stores on the command even when its "EN" is lost on the way.
    QCOMPARE(h.rig.model.stores(), command > 6 * ConverterCount ? 1 : 0);
    if (command <= 6 * ConverterCount)  // nothing after a failing converter command
        QCOMPARE(h.rig.model.frames().size(), command);
    QCOMPARE(h.rig.messages.texts(), QStringList{"Connect Error: Connection aborted!"});
    for (int i = 0; i < convertersSent; ++i)
        QCOMPARE(h.rig.model.state().channels[i].inFreq, planFor(i).mhz);
}

void TstSequences::writeRefusesFieldsItCannotSend() {
    Harness h;
    fillView(h.view);
    h.view.setInFreqText(6, QStringLiteral("12x"));
    const WriteOutcome out = h.write();
    QCOMPARE(out.result, SequenceResult::Refused);
    QVERIFY(out.refused.has_value() && out.refused->channel == 6);
    QVERIFY(h.rig.wire.chunks.isEmpty());  // not even a connection request
    QVERIFY(h.rig.messages.shown.isEmpty());
}

void TstSequences::storeAndEndPauses() {
    Harness h;
    Commands cmd(h.rig.link);
    // The pauses after the store and after the end's "EN" are those of fullWriteOnTheWire.
    h.rig.port.close();
    const int writes = h.rig.wire.writes();
    double t = h.rig.clock.now();
    QCOMPARE(cmd.com_end_(), StatusPortClosed);
    QCOMPARE(h.rig.clock.now() - t, 0.5);
    QCOMPARE(h.rig.wire.writes(), writes);

    // No "EN" for the end command: -1 at once, no pause.
    h.rig.port.open();
    QVERIFY(h.rig.link.connect_());
    h.rig.model.faults().dropEnAt = 1;
    t = h.rig.clock.now();
    QCOMPARE(cmd.com_end_(), StatusFailed);
    QVERIFY(h.rig.clock.now() - t > 5.0 && h.rig.clock.now() - t < 5.1);
}

void TstSequences::stopRequestEndsBetweenConverters_data() {
    QTest::addColumn<bool>("write");
    QTest::addColumn<int>("stopAtFrame");  // asked to stop as this frame is sent
    QTest::addColumn<int>("framesBeforeEnd");
    QTest::newRow("write, in converter 1") << true << 1 << 6;
    QTest::newRow("write, in converter 12: no store") << true << 67 << 72;
    QTest::newRow("read, in the unit's texts") << false << 2 << 4;
    QTest::newRow("read, in converter 3") << false << 4 + 14 + 3 << 4 + 21;
}

void TstSequences::stopRequestEndsBetweenConverters() {
    QFETCH(bool, write);
    QFETCH(int, stopAtFrame);
    QFETCH(int, framesBeforeEnd);
    Harness h;
    fillView(h.view);
    h.rig.model.faults().replyDelay = 0.01;
    struct StopAt final : WireObserver {
        Harness& h;
        int frame, frames = 0;
        StopAt(Harness& harness, int n) : h(harness), frame(n) {}
        void onWire(WireDirection d, const QByteArray& bytes, double t) override {
            h.rig.wire.onWire(d, bytes, t);
            if (d == WireDirection::ToDevice && bytes.size() == 15 && ++frames == frame)
                h.rig.link.requestStop();
        }
    } stopAt(h, stopAtFrame);
    h.rig.link.setWireObserver(&stopAt);
    if (write) {
        const WriteOutcome out = h.write();
        QCOMPARE(out.result, SequenceResult::Stopped);
        QCOMPARE(out.convertersSent, framesBeforeEnd / 6);
        QVERIFY(!out.stored);
        QCOMPARE(h.rig.model.stores(), 0);
    } else {
        QCOMPARE(h.read(), SequenceResult::Stopped);
    }
    // The command in progress and its converter are finished, then the end command.
    const auto& frames = h.rig.model.frames();
    QCOMPARE(frames.size(), framesBeforeEnd + 1);
    QCOMPARE(frames.last().frame, CommandFrame::plain(40).bytes());
    QVERIFY(h.rig.wire.received().endsWith("EN"));
    QVERIFY(h.rig.messages.shown.isEmpty());
    QVERIFY(h.rig.model.violations().isEmpty());

    // No more connection request once stopped; a silent unit's connection wait ends at once.
    Harness silent;
    fillView(silent.view);
    silent.rig.model.faults().silent = true;
    silent.rig.pump.at(7.0, [&] { silent.rig.link.requestStop(); });
    QCOMPARE(write ? silent.write().result : silent.read(), SequenceResult::Failed);
    QCOMPARE(silent.rig.clock.now(), 7.0);
    QCOMPARE(silent.rig.wire.sent(), QByteArray("TSTS"));
    QVERIFY(silent.rig.messages.shown.isEmpty());
}

void TstSequences::checkedReads_data() {
    // Line noise on commands K to K+N-1 of the connection (each garbled differently), whether
    // every value is read twice; then the value read, the repeated reads, the values whose
    // reads never agreed, and the frames sent.
    QTest::addColumn<int>("noisyFrom");
    QTest::addColumn<int>("noisy");
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("repeated");
    QTest::addColumn<int>("unsettled");
    QTest::addColumn<int>("frames");
    // Converter 7's input frequency, 1362 MHz (command 49; 97 when every value is read twice);
    // noise makes it 1879049554.
    QTest::newRow("clean line") << 0 << 1 << false << "1362" << 0 << 0 << 89;
    QTest::newRow("out of range: read again until two agree")
        << 49 << 1 << false << "1362" << 2 << 0 << 91;
    QTest::newRow("out of range, the reads never agree")
        << 49 << 4 << false << "1879049554" << 3 << 1 << 92;
    QTest::newRow("confirmed, clean line") << 0 << 1 << true << "1362" << 0 << 0 << 89 + 88;
    QTest::newRow("confirmed: a pair that differs is read again")
        << 97 << 1 << true << "1362" << 1 << 0 << 89 + 88 + 1;
    QTest::newRow("confirmed, the reads never agree")
        << 97 << 5 << true << "1879049554" << 3 << 1 << 89 + 88 + 3;
    // The software version, "2.17" (command 3; 5 when read twice), garbled "B.17": a value in
    // range that only reading twice notices.
    QTest::newRow("text, not confirmed") << 3 << 1 << false << "B.17" << 0 << 0 << 89;
    QTest::newRow("text, confirmed") << 5 << 1 << true << "2.17" << 1 << 0 << 89 + 88 + 1;
}

void TstSequences::checkedReads() {
    QFETCH(int, noisyFrom);
    QFETCH(int, noisy);
    QFETCH(bool, confirm);
    QFETCH(QString, value);
    QFETCH(int, repeated);
    QFETCH(int, unsettled);
    QFETCH(int, frames);
    Harness h;
    h.rig.model.faults().garbleAt = noisyFrom;
    h.rig.model.faults().garbleCount = noisy;
    ReadCheck check;
    check.confirmAll = confirm;
    QCOMPARE(read_unit_data_(h.rig.link, h.unit, h.lockText, h.view, &check),
             SequenceResult::Complete);
    const bool text = value.contains('.');
    QCOMPARE(text ? h.unit.SwVersion : QString::number(h.unit.InFreq[6]), value);
    QCOMPARE(check.repeatedReads, repeated);
    QCOMPARE(check.unsettled.size(), unsettled);
    if (unsettled)
        QVERIFY2(check.unsettled[0].startsWith("converter 7: input frequency: 1879049554, "),
                 qPrintable(check.unsettled[0]));
    QCOMPARE(h.rig.model.frames().size(), frames);
    QVERIFY(h.rig.model.violations().isEmpty() && h.rig.messages.shown.isEmpty());
}

QTEST_GUILESS_MAIN(TstSequences)
#include "tst_sequences.moc"
