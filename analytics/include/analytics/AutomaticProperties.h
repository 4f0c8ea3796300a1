#pragma once

#include "analytics/ReadWriteLock.h"
#include "analytics/SystemFacts.h"
#include "analytics/TallyType.h"

#include <optional>

namespace tally {

/// The device, operating-system, application and library facts added to every event and to
/// every "$set" and "$set_once" people update. Gathered once per process, on first use, from
/// `SystemFacts::current()`, and shared by all instances.
class AutomaticProperties {
public:
    AutomaticProperties() = delete;

    /// The process-wide lock ("automaticPropertiesLock"). Readers merge the dictionaries inside
    /// its read side.
    static ReadWriteLock& automaticPropertiesLock();

    /// The event properties; the first call computes them. Read inside the lock's read side.
    static const Properties& properties();
    /// The people properties; the first call computes them. Read inside the lock's read side.
    static const Properties& peopleProperties();
    /// Replace the dictionaries (under the lock's write side); nullopt gathers them afresh on next use.
    static void setProperties(std::optional<Properties> properties);
    static void setPeopleProperties(std::optional<Properties> properties);

    /// The two dictionaries as gathered from `facts`.
    static Properties computeProperties(const SystemFacts& facts);
    static Properties computePeopleProperties(const SystemFacts& facts);

    /// The client library's version, "1.0.0".
    static std::string libVersion();
};

/// A property-list value as a property value (data becomes an absent value: no property kind holds bytes).
TallyType tallyValue(const foundation::PlistValue& value);

} // namespace tally
