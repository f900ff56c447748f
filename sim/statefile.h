#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

#include "headendmodel.h"

namespace meridan::sim {

// The simulated unit's settings as JSON, so a demo headend keeps what was stored in it.
QJsonObject stateToJson(const HeadendState& state);
// nullopt and a reason when the object is not a valid state.
std::optional<HeadendState> stateFromJson(const QJsonObject& json, QString* error);

bool saveStateFile(const QString& path, const HeadendState& state, QString* error);
std::optional<HeadendState> loadStateFile(const QString& path, QString* error);

}  // namespace meridan::sim
