#include "unitview.h"

namespace meridan {

void MemoryUnitView::showUnitText(UnitField field, const QString& text) {
    switch (field) {
        case UnitField::Type:
            unitType = text;
            break;
        case UnitField::HwVersion:
            hwVersion = text;
            break;
        case UnitField::SwVersion:
            swVersion = text;
            break;
        case UnitField::SerialNo:
            serialNo = text;
            break;
    }
}

void MemoryUnitView::setValidationSuspended(int channel, bool suspended) {
    channels[channel].validationSuspended = suspended;
}

void MemoryUnitView::setFieldEnabled(int channel, ChannelField field, bool enabled) {
    Channel& c = channels[channel];
    switch (field) {
        case ChannelField::Polarisation:
            c.polarisationEnabled = enabled;
            break;
        case ChannelField::InFreq:
            c.inFreqEnabled = enabled;
            break;
        case ChannelField::Gain:
            c.gainEnabled = enabled;
            break;
        case ChannelField::OutFreq:
            c.outFreqEnabled = enabled;
            break;
        case ChannelField::Carrier:
            break;
    }
}

void MemoryUnitView::selectPolarisation(int channel, int index) {
    channels[channel].polarisation = (index >= 0 && index < SatInputs) ? index : -1;
}

void MemoryUnitView::setLockText(int channel, LockSide side, const QString& text) {
    (side == LockSide::Input ? channels[channel].inputLock : channels[channel].outputLock) = text;
}

}  // namespace meridan
