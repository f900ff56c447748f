#include "sequences.h"

#include <limits>

#include "commands.h"
#include "display.h"
#include "readcheck.h"

namespace meridan {

namespace {

// A whole number in the box: optional blanks around an optional sign and digits.
std::optional<std::int32_t> wholeNumber(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty()) return std::nullopt;
    qsizetype k = (t[0] == QLatin1Char('-') || t[0] == QLatin1Char('+')) ? 1 : 0;
    if (k == t.size()) return std::nullopt;
    for (qsizetype j = k; j < t.size(); ++j) {
        if (t[j] < QLatin1Char('0') || t[j] > QLatin1Char('9')) return std::nullopt;
    }
    bool ok = false;
    const qlonglong v = t.toLongLong(&ok);
    if (!ok || v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(v);
}

std::uint8_t boxValue(int value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

// Marks a converter's frequency boxes as being filled by the read, and switches their range
// check back on however the converter's steps end.
class ValidationSuspension {
  public:
    ValidationSuspension(UnitView& view, int channel) : view_(view), channel_(channel) {
        view_.setValidationSuspended(channel_, true);
    }
    ~ValidationSuspension() { view_.setValidationSuspended(channel_, false); }
    ValidationSuspension(const ValidationSuspension&) = delete;
    ValidationSuspension& operator=(const ValidationSuspension&) = delete;

  private:
    UnitView& view_;
    int channel_;
};

bool readConverter(Commands& cmd, ReadCheck* check, UnitImage& unit, const LockTextTable& lockText,
                   UnitView& view, int i) {
    const auto idx = static_cast<std::uint8_t>(i);
    ValidationSuspension suspension(view, i);
    const QString converter = QStringLiteral("converter %1: ").arg(i + 1);
    // A byte setting read, checked against the range a unit reports.
    auto setting = [&](std::uint8_t& value, const char* what, ChannelField field,
                       CommandStatus (Commands::*read)(std::uint8_t&, std::uint8_t)) {
        return readChecked(
            check, value, converter + QLatin1String(what),
            [&](std::uint8_t& v) { return (cmd.*read)(v, idx); },
            [field](std::uint8_t v) { return outsideReportedRange(field, v); });
    };
    auto lock = [&](std::uint8_t& value, const char* what,
                    CommandStatus (Commands::*read)(std::uint8_t&, std::uint8_t)) {
        return readChecked(check, value, converter + QLatin1String(what),
                           [&](std::uint8_t& v) { return (cmd.*read)(v, idx); });
    };

    if (!setting(unit.Carrier[i], "carrier", ChannelField::Carrier, &Commands::read_carrier_))
        return false;
    view.setCarrier(i, unit.Carrier[i]);
    const bool on = unit.Carrier[i] != 0;
    view.setFieldEnabled(i, ChannelField::Polarisation, on);
    view.setFieldEnabled(i, ChannelField::InFreq, on);
    view.setFieldEnabled(i, ChannelField::Gain, on);
    view.setFieldEnabled(i, ChannelField::OutFreq, false);

    if (!setting(unit.Polarisation[i], "SAT input", ChannelField::Polarisation,
                 &Commands::read_polarisation_))
        return false;
    view.selectPolarisation(i, unit.Polarisation[i]);

    if (!readChecked(
            check, unit.InFreq[i], converter + QStringLiteral("input frequency"),
            [&](std::int32_t& v) { return cmd.read_infreq_(v, idx); },
            [](std::int32_t v) { return outsideReportedRange(ChannelField::InFreq, v); }))
        return false;
    view.setInFreqText(i, inFreqText(unit.InFreq[i]));

    if (!lock(unit.InputLock[i], "input lock", &Commands::read_input_lock_)) return false;
    view.setLockText(i, LockSide::Input, lockStateText(lockText, unit.InputLock[i]));

    if (!setting(unit.Gain[i], "gain", ChannelField::Gain, &Commands::read_gain_)) return false;
    view.setGain(i, unit.Gain[i]);

    if (!readChecked(check, unit.OutFreq[i], converter + QStringLiteral("output frequency"),
                     [&](float& v) { return cmd.read_outfreq_(v, idx); }))
        return false;
    view.setOutFreqText(i, outFreqText(unit.OutFreq[i]));

    if (!lock(unit.OutputLock[i], "output lock", &Commands::read_output_lock_)) return false;
    view.setLockText(i, LockSide::Output, lockStateText(lockText, unit.OutputLock[i]));
    return true;
}

}  // namespace

namespace {
// "converters 1-5", "converter 6".
QString converters(int first, int last) {
    return first == last ? QStringLiteral("converter %1").arg(first)
                         : QStringLiteral("converters %1-%2").arg(first).arg(last);
}
}  // namespace

QString unitStateAfterWrite(const WriteOutcome& w) {
    const int k = w.convertersSent;
    if (w.stored) return QStringLiteral("plan stored");
    if (!changedSomething(w)) return QStringLiteral("plan not written: the unit is as it was");
    if (w.result == SequenceResult::Stopped) {
        // Stopped between converters: each is either sent in full or not at all.
        return k == ConverterCount
                   ? QStringLiteral("plan not stored: the unit runs all 12 converters changed")
                   : QStringLiteral("plan not stored: the unit runs %1 changed, %2 as before")
                         .arg(converters(1, k),
                              QStringLiteral("%1-%2").arg(k + 1).arg(ConverterCount));
    }
    if (k == ConverterCount) {
        return QStringLiteral(
            "plan sent to all 12 converters, but the unit did not confirm the store: it runs the "
            "plan, stored or not");
    }
    QString s = QStringLiteral("plan not stored: the unit runs ");
    if (k > 0) s += converters(1, k) + QStringLiteral(" changed, ");
    s += QStringLiteral("converter %1 possibly in part").arg(k + 1);
    if (k + 2 <= ConverterCount) {
        s += QStringLiteral(", %1 as before")
                 .arg(k + 2 == ConverterCount
                          ? QString::number(ConverterCount)
                          : QStringLiteral("%1-%2").arg(k + 2).arg(ConverterCount));
    }
    return s;
}

QString inputRangeMessage() {
    // Each bound written with its sign position: " 950", " 2150".
    return QStringLiteral("Input Frequency must be in the range") +
           QStringLiteral(" %1").arg(InFreqMinMhz) + QStringLiteral(" to") +
           QStringLiteral(" %1").arg(InFreqMaxMhz) + QStringLiteral("MHz!");
}

std::variant<ChannelSettings, FieldError> collectChannelSettings(const UnitView& view,
                                                                 const UnitImage& unit) {
    ChannelSettings out{};
    for (int i = 0; i < ConverterCount; ++i) {
        const QString converter = QStringLiteral("Converter %1: ").arg(i + 1);
        ChannelSetting& s = out[i];
        s = {unit.Polarisation[i], unit.InFreq[i], unit.Gain[i], unit.Carrier[i]};
        if (view.edited(i, ChannelField::Polarisation)) {
            const int sat = view.polarisationIndex(i);
            if (sat < 0) {
                return FieldError{i, ChannelField::Polarisation,
                                  converter + QStringLiteral("No SAT input chosen!")};
            }
            s.polarisation = boxValue(sat);
        }
        if (view.edited(i, ChannelField::InFreq)) {
            const auto mhz = wholeNumber(view.inFreqText(i));
            if (!mhz || *mhz < InFreqMinMhz || *mhz > InFreqMaxMhz) {
                return FieldError{i, ChannelField::InFreq, converter + inputRangeMessage()};
            }
            s.inFreq = *mhz;
        }
        if (view.edited(i, ChannelField::Gain)) s.gain = boxValue(view.gainValue(i));
        if (view.edited(i, ChannelField::Carrier)) s.carrier = boxValue(view.carrierValue(i));
    }
    return out;
}

bool outsideReportedRange(ChannelField field, int value) {
    switch (field) {
        case ChannelField::InFreq:
            return value < InFreqMinMhz || value > InFreqMaxMhz;
        case ChannelField::Polarisation:
            return value < 0 || value >= SatInputs;
        case ChannelField::Carrier:
            return value < 0 || value > 1;
        case ChannelField::Gain:
            return value < 0 || value > 2;
        case ChannelField::OutFreq:
            break;
    }
    return false;
}

SequenceResult read_unit_data_(Link& link, UnitImage& unit, const LockTextTable& lockText,
                               UnitView& view, ReadCheck* check) {
    Link::SequenceScope scope(link);
    Commands cmd(link);
    if (!link.connect_()) return SequenceResult::Failed;

    auto text = [&](std::uint8_t code, QString& value, const char* what) {
        return readChecked(check, value, QLatin1String(what),
                           [&](QString& t) { return cmd.read_text_(code, t); });
    };
    if (!text(ReadUnitType, unit.UnitType, "type")) return SequenceResult::Failed;
    view.showUnitText(UnitField::Type, unit.UnitType);
    if (!text(ReadHwVersion, unit.HwVersion, "hardware version")) return SequenceResult::Failed;
    view.showUnitText(UnitField::HwVersion, unit.HwVersion);
    if (!text(ReadSwVersion, unit.SwVersion, "software version")) return SequenceResult::Failed;
    view.showUnitText(UnitField::SwVersion, unit.SwVersion);
    if (!readChecked(check, unit.SerialNo, QStringLiteral("serial number"),
                     [&](std::int32_t& v) { return cmd.read_serialno_(v); }))
        return SequenceResult::Failed;
    view.showUnitText(UnitField::SerialNo, serialNoText(unit.SerialNo));

    for (int i = 0; i < ConverterCount; ++i) {
        if (!link.pumpOnce(0)) return SequenceResult::Failed;
        if (link.stopRequested()) {
            cmd.com_end_();
            return SequenceResult::Stopped;
        }
        if (!readConverter(cmd, check, unit, lockText, view, i)) return SequenceResult::Failed;
    }
    return cmd.com_end_() == StatusFailed ? SequenceResult::Failed : SequenceResult::Complete;
}

WriteOutcome writeChannelSettings(Link& link, const ChannelSettings& settings, UnitImage& unit,
                                  const LockTextTable& lockText, UnitView& view) {
    Link::SequenceScope scope(link);
    Commands cmd(link);
    WriteOutcome out;
    if (!link.connect_()) return out;
    auto stop = [&] {
        cmd.com_end_();
        out.result = SequenceResult::Stopped;
        return out;
    };
    for (int i = 0; i < ConverterCount; ++i) {
        if (link.stopRequested()) return stop();
        const auto idx = static_cast<std::uint8_t>(i);
        const ChannelSetting& s = settings[i];
        out.setSent = true;
        if (cmd.set_polarisation_(s.polarisation, idx) == StatusFailed) return out;
        if (cmd.set_infreq_(s.inFreq, idx) == StatusFailed) return out;
        if (cmd.read_input_lock_(unit.InputLock[i], idx) == StatusFailed) return out;
        view.setLockText(i, LockSide::Input, lockStateText(lockText, unit.InputLock[i]));
        if (cmd.set_gain_(s.gain, idx) == StatusFailed) return out;
        if (cmd.set_carrier_(s.carrier, idx) == StatusFailed) return out;
        if (cmd.read_output_lock_(unit.OutputLock[i], idx) == StatusFailed) return out;
        view.setLockText(i, LockSide::Output, lockStateText(lockText, unit.OutputLock[i]));
        out.convertersSent = i + 1;
    }
    if (link.stopRequested()) return stop();
    out.stored = cmd.save_settings_() == StatusDone;
    const bool ended = cmd.com_end_() == StatusDone;
    out.result = out.stored && ended ? SequenceResult::Complete : SequenceResult::Failed;
    return out;
}

WriteOutcome set_unit_data_(Link& link, UnitImage& unit, const LockTextTable& lockText,
                            UnitView& view) {
    auto collected = collectChannelSettings(view, unit);
    if (auto* error = std::get_if<FieldError>(&collected)) {
        WriteOutcome out;
        out.result = SequenceResult::Refused;
        out.refused = *error;
        return out;
    }
    return writeChannelSettings(link, std::get<ChannelSettings>(collected), unit, lockText, view);
}

}  // namespace meridan
