#pragma once

#include "analytics/ReadWriteLock.h"
#include "analytics/SessionMetadata.h"
#include "analytics/TallyPersistence.h"
#include "analytics/TallyType.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tally {

class TallyInstance;

/// The value when it is a floating-point number (a plain one, or a number object holding one).
std::optional<double> floatingValue(const TallyType& value);

/// Stores every entry of `other` in `target`, replacing values of the same key.
Properties& operator+=(Properties& target, const Properties& other);

/// Builds event records and computes the instance's new super properties and timed events.
/// Runs on the owning instance's tracking queue only; takes no lock of the instance.
class Track {
public:
    Track(std::string apiToken, std::string instanceName, std::shared_ptr<ReadWriteLock> lock,
          std::shared_ptr<SessionMetadata> metadata, std::shared_ptr<TallyPersistence> tallyPersistence);

    /// The owner, consulted for its automatic-event setting and its opt-out state.
    void setTallyInstance(std::weak_ptr<TallyInstance> instance);

    /// Builds the record of one event, queues it and persists the remaining timed events, which it
    /// returns (without the entry this event consumed).
    Properties track(const std::optional<std::string>& event, const std::optional<Properties>& properties,
                     const Properties& timedEvents, const Properties& superProperties,
                     const TallyIdentity& tallyIdentity, double epochInterval);

    Properties registerSuperProperties(const Properties& properties, const Properties& superProperties) const;
    Properties registerSuperPropertiesOnce(const Properties& properties, const Properties& superProperties,
                                           const std::optional<TallyType>& defaultValue) const;
    Properties unregisterSuperProperty(const std::string& propertyName, const Properties& superProperties) const;
    Properties clearSuperProperties(const Properties& superProperties) const;
    void updateSuperProperty(const std::function<void(Properties&)>& update, Properties& superProperties) const;
    Properties time(const std::optional<std::string>& event, const Properties& timedEvents, double startTime) const;
    Properties clearTimedEvents(const Properties& timedEvents) const;
    Properties clearTimedEvent(const std::optional<std::string>& event, const Properties& timedEvents) const;

private:
    bool isOptedOut() const;

    const std::string instanceName;
    const std::string apiToken;
    const std::shared_ptr<ReadWriteLock> lock;
    const std::shared_ptr<SessionMetadata> metadata;
    const std::shared_ptr<TallyPersistence> tallyPersistence;
    std::weak_ptr<TallyInstance> tallyInstance;
};

} // namespace tally
