#include "rig.h"

namespace meridan::test {

MessageResult RecordingMessages::show(const QString& text, const QString& title, MessageIcon icon,
                                      MessageButtons buttons) {
    shown.append({text, title, icon, buttons});
    if (onShow) onShow(shown.last());
    return answer;
}

QStringList RecordingMessages::texts() const {
    QStringList out;
    for (const auto& e : shown)
        out << e.title + QStringLiteral(": ") + e.text;
    return out;
}

QByteArray WireLog::sent() const {
    QByteArray out;
    for (const auto& c : chunks) {
        if (c.direction == WireDirection::ToDevice) out += c.bytes;
    }
    return out;
}

QByteArray WireLog::received() const {
    QByteArray out;
    for (const auto& c : chunks) {
        if (c.direction == WireDirection::FromDevice) out += c.bytes;
    }
    return out;
}

double WireLog::timeSent(const QByteArray& prefix, int occurrence) const {
    for (const auto& c : chunks) {
        if (c.direction == WireDirection::ToDevice && c.bytes.startsWith(prefix) &&
            occurrence-- == 0) {
            return c.time;
        }
    }
    return -1;
}

int WireLog::writes() const {
    int n = 0;
    for (const auto& c : chunks)
        n += c.direction == WireDirection::ToDevice;
    return n;
}

SimRig::SimRig() : SimRig(sim::HeadendState::demo()) {}

SimRig::SimRig(sim::HeadendState state) : model(std::move(state)) {
    link.setWireObserver(&wire);
    link.setApplicationTitle(QStringLiteral("Meridan Converter V1.0.0"));
    port.open();
}

}  // namespace meridan::test
