#pragma once

#include "analytics/TallyType.h"

#include <vector>

namespace tally {

/// One queued record (event, people or group update). Read back from the store it carries the
/// extra key "id": its row id as an `Int`.
using EntityRecord = Properties;
/// Records in store order, oldest stored time first.
using EntityBatch = std::vector<EntityRecord>;

} // namespace tally
