#pragma once

// Helpers shared by the persistence's record queue, settings and legacy migration.
#include "analytics/TallyPersistence.h"
#include "platform/foundation/UserDefaults.h"

#include <optional>
#include <string>

namespace tally::detail {

/// "tally-<instance name>-<key name>".
std::string keyFor(const std::string& instanceName, const char* keyName);
std::optional<foundation::UserDefaults> suite();
std::optional<bool> booleanOf(const TallyType& value);
std::optional<std::string> textOf(const Properties& dictionary, const char* key);
/// A list of string-keyed dictionaries; nullopt for anything else.
std::optional<EntityBatch> recordsOf(const TallyType& value);

} // namespace tally::detail
