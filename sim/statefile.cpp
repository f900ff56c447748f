#include "statefile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace meridan::sim {

QJsonObject stateToJson(const HeadendState& s) {
    QJsonArray channels;
    for (const SimChannel& c : s.channels) {
        channels.append(QJsonObject{
            {QStringLiteral("carrier"), c.carrier},
            {QStringLiteral("polarisation"), c.polarisation},
            {QStringLiteral("in_freq"), c.inFreq},
            {QStringLiteral("input_lock"), c.inputLock},
            {QStringLiteral("gain"), c.gain},
            {QStringLiteral("out_freq"), static_cast<double>(c.outFreq)},
            {QStringLiteral("output_lock"), c.outputLock},
        });
    }
    return QJsonObject{
        {QStringLiteral("unit_type"), s.unitType},   {QStringLiteral("hw_version"), s.hwVersion},
        {QStringLiteral("sw_version"), s.swVersion}, {QStringLiteral("serial_no"), s.serialNo},
        {QStringLiteral("channels"), channels},
    };
}

std::optional<HeadendState> stateFromJson(const QJsonObject& json, QString* error) {
    auto fail = [&](const QString& why) -> std::optional<HeadendState> {
        if (error) *error = why;
        return std::nullopt;
    };
    HeadendState s = HeadendState::demo();
    s.unitType = json.value(QStringLiteral("unit_type")).toString(s.unitType);
    s.hwVersion = json.value(QStringLiteral("hw_version")).toString(s.hwVersion);
    s.swVersion = json.value(QStringLiteral("sw_version")).toString(s.swVersion);
    s.serialNo = json.value(QStringLiteral("serial_no")).toInt(s.serialNo);
    const QJsonArray channels = json.value(QStringLiteral("channels")).toArray();
    if (channels.size() != Channels) {
        return fail(QStringLiteral("\"channels\" must hold %1 entries").arg(Channels));
    }
    for (int i = 0; i < Channels; ++i) {
        const QJsonObject o = channels[i].toObject();
        SimChannel& c = s.channels[i];
        auto byte = [&](const char* key, std::uint8_t fallback) {
            return static_cast<std::uint8_t>(o.value(QLatin1String(key)).toInt(fallback) & 0xFF);
        };
        c.carrier = byte("carrier", c.carrier);
        c.polarisation = byte("polarisation", c.polarisation);
        c.inFreq = o.value(QStringLiteral("in_freq")).toInt(c.inFreq);
        c.inputLock = byte("input_lock", c.inputLock);
        c.gain = byte("gain", c.gain);
        c.outFreq = static_cast<float>(o.value(QStringLiteral("out_freq")).toDouble(c.outFreq));
        c.outputLock = byte("output_lock", c.outputLock);
    }
    return s;
}

bool saveStateFile(const QString& path, const HeadendState& state, QString* error) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error) *error = f.errorString();
        return false;
    }
    f.write(QJsonDocument(stateToJson(state)).toJson());
    if (!f.commit()) {
        if (error) *error = f.errorString();
        return false;
    }
    return true;
}

std::optional<HeadendState> loadStateFile(const QString& path, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error) *error = f.errorString();
        return std::nullopt;
    }
    QJsonParseError pe{};
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isObject()) {
        if (error) *error = pe.errorString();
        return std::nullopt;
    }
    return stateFromJson(doc.object(), error);
}

}  // namespace meridan::sim
