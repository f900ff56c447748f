#pragma once

#include <QString>
#include <array>

#include "unitimage.h"

namespace meridan {

enum class UnitField { Type, HwVersion, SwVersion, SerialNo };
enum class ChannelField { Polarisation, InFreq, Gain, OutFreq, Carrier };
enum class LockSide { Input, Output };

// What the read and write sequences see of the window that shows the unit: they put values
// into its controls and, when writing, take the values to send from them.
class UnitView {
  public:
    virtual ~UnitView() = default;

    virtual void showUnitText(UnitField field, const QString& text) = 0;
    // While suspended, filling a channel's two frequency boxes runs no range check.
    virtual void setValidationSuspended(int channel, bool suspended) = 0;
    virtual void setFieldEnabled(int channel, ChannelField field, bool enabled) = 0;
    // 0 unchecked, 1 checked, 2 greyed.
    virtual void setCarrier(int channel, int value) = 0;
    // Selects entry index of the SAT list without running its click handler; an index past
    // the last entry leaves no entry selected.
    virtual void selectPolarisation(int channel, int index) = 0;
    virtual void setInFreqText(int channel, const QString& text) = 0;
    virtual void setOutFreqText(int channel, const QString& text) = 0;
    virtual void setLockText(int channel, LockSide side, const QString& text) = 0;
    virtual void setGain(int channel, int value) = 0;

    // -1 when no entry is selected.
    virtual int polarisationIndex(int channel) const = 0;
    virtual QString inFreqText(int channel) const = 0;
    virtual int gainValue(int channel) const = 0;
    virtual int carrierValue(int channel) const = 0;

    // Whether the field's control holds something other than the unit's value as the last
    // read put it there: the user changed it since, or no read has filled it. A field that is
    // not edited goes back to the unit as read, raw, even where its control cannot show it.
    // A view that does not follow the user's edits sends what its controls hold.
    virtual bool edited(int /*channel*/, ChannelField /*field*/) const { return true; }
};

// A unit view without a window: holds what a window's controls would hold. Used by the
// command-line tool and by tests.
class MemoryUnitView : public UnitView {
  public:
    struct Channel {
        int carrier = 0;
        int polarisation = 0;  // -1: none selected
        QString inFreq;
        int gain = 0;
        QString outFreq;
        QString inputLock;
        QString outputLock;
        bool polarisationEnabled = true;
        bool inFreqEnabled = true;
        bool gainEnabled = true;
        bool outFreqEnabled = true;
        bool validationSuspended = false;
    };

    void showUnitText(UnitField field, const QString& text) override;
    void setValidationSuspended(int channel, bool suspended) override;
    void setFieldEnabled(int channel, ChannelField field, bool enabled) override;
    void setCarrier(int channel, int value) override { channels[channel].carrier = value; }
    void selectPolarisation(int channel, int index) override;
    void setInFreqText(int channel, const QString& t) override { channels[channel].inFreq = t; }
    void setOutFreqText(int channel, const QString& t) override { channels[channel].outFreq = t; }
    void setLockText(int channel, LockSide side, const QString& text) override;
    void setGain(int channel, int value) override { channels[channel].gain = value; }

    int polarisationIndex(int channel) const override { return channels[channel].polarisation; }
    QString inFreqText(int channel) const override { return channels[channel].inFreq; }
    int gainValue(int channel) const override { return channels[channel].gain; }
    int carrierValue(int channel) const override { return channels[channel].carrier; }

    QString unitType, hwVersion, swVersion, serialNo;
    std::array<Channel, ConverterCount> channels{};
};

}  // namespace meridan
