#include "firmwaremodule.h"

namespace meridan::sim {

namespace {
// A pause this long while the image flows ends an update. The host pauses a second before
// each sector and gives up on a silent module after ten.
constexpr double FirmwareGap = 5.0;
}  // namespace

FirmwareModule::FirmwareModule(const SimFaults& faults, DeviceLine& line)
    : faults_(faults), line_(line) {}

void FirmwareModule::start(double time) {
    if (faults_.silent) return;
    ++attempts_;
    mode_ = Mode::Count;
    countBytes_.clear();
    image_.clear();
    count_ = 0;
    inSector_ = 0;
    line_.send(QByteArrayLiteral("OK"), time);
}

bool FirmwareModule::continues(std::uint8_t byte, double gap) const {
    const bool countGoesOn = mode_ == Mode::Count && (!countBytes_.isEmpty() || byte == 'O');
    const bool dataGoesOn = mode_ == Mode::Data && gap <= FirmwareGap;
    return countGoesOn || dataGoesOn;
}

void FirmwareModule::abandon() {
    mode_ = Mode::Idle;
}

void FirmwareModule::requestSector(int sector, double time) {
    const bool stalled = sector == faults_.stallSector && attempts_ <= faults_.stallAttempts;
    if (sector < count_) {
        if (stalled) return;
        line_.send(QByteArrayLiteral("OK"), time);
        return;
    }
    mode_ = Mode::Idle;
    ++completed_;
    if (onFirmware_) onFirmware_(image_);
    if (stalled || faults_.dropFinalEn) return;
    line_.send(faults_.endMark, time);
}

void FirmwareModule::takeIn(std::uint8_t byte, double time) {
    if (mode_ == Mode::Count) {
        countBytes_.append(static_cast<char>(byte));
        if (countBytes_.size() < 3) return;
        if (!countBytes_.startsWith("OK") || byte == 0) {
            line_.violation(QStringLiteral("bad sector count announcement %1")
                                .arg(QString::fromLatin1(countBytes_.toHex(' '))),
                            time);
            mode_ = Mode::Idle;
            return;
        }
        count_ = byte;
        mode_ = Mode::Data;
        requestSector(0, time);
        return;
    }
    image_.append(static_cast<char>(byte));
    if (++inSector_ < SectorSize) return;
    inSector_ = 0;
    const int done = static_cast<int>(image_.size() / SectorSize);
    requestSector(done, time + faults_.sectorWriteTime);
}

}  // namespace meridan::sim
