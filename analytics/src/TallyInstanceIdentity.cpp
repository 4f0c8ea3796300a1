// The identity operations of the client instance: identify, alias, reset, archive, and opting
// out and in, with the delivery of the profile deletions that opting out leaves.
#include "analytics/TallyInstance.h"

#include "analytics/Constants.h"
#include "analytics/People.h"
#include "analytics/TallyLogger.h"

#include <algorithm>

namespace tally {

// Identity, reset and opt-out ---------------------------------------------------------------------

bool TallyInstance::hasOptedOutTracking() const
{
    bool optedOut = false;
    readWriteLock->read([&] { optedOut = optOut.value_or(false); });
    return optedOut;
}

void TallyInstance::identify(const std::string& newDistinctId, bool usePeople, Completion completion)
{
    if (hasOptedOutTracking()) {
        runOnMainQueue(completion);
        return;
    }
    if (newDistinctId.empty()) {
        TALLY_LOG_ERROR(debugDescription() + " cannot identify blank distinct id");
        runOnMainQueue(completion);
        return;
    }
    if (isShutDown.load()) {
        runOnMainQueue(completion);
        return;
    }
    trackingQueueRef->async([weak = weak_from_this(), newDistinctId, usePeople, completion] {
        const auto self = weak.lock();
        if (!self) {
            runOnMainQueue(completion);
            return;
        }
        std::optional<std::string> previousId;
        self->readWriteLock->write([&] {
            if (!self->anonymous) {
                self->anonymous = self->distinct;
                self->hadPersisted = true;
            }
            if (!self->user) {
                self->user = newDistinctId;
            }
            if (newDistinctId != self->distinct) {
                previousId = self->distinct;
                self->aliasId.reset();
                self->distinct = newDistinctId;
                self->user = newDistinctId;
            }
        });
        if (previousId) {
            self->track("$identify", Properties{{"$anon_distinct_id", *previousId}});
        }
        if (usePeople) {
            self->readWriteLock->write([&] { self->peopleInstance->distinctId = newDistinctId; });
            self->persistence->identifyPeople(self->apiToken());
        } else {
            self->readWriteLock->write([&] { self->peopleInstance->distinctId.reset(); });
        }
        self->readWriteLock->read([&] { TallyPersistence::saveIdentity(self->currentIdentity(), self->instanceName); });
        runOnMainQueue(completion);
    });
    if (isiOSAppExtension()) {
        flush();
    }
}

void TallyInstance::createAlias(const std::string& newAlias, const std::string& forDistinctId, bool usePeople,
                                bool andIdentify, Completion completion)
{
    if (hasOptedOutTracking()) {
        runOnMainQueue(completion);
        return;
    }
    if (forDistinctId.empty()) {
        TALLY_LOG_ERROR(debugDescription() + " cannot identify blank distinct id");
        runOnMainQueue(completion);
        return;
    }
    if (newAlias.empty()) {
        TALLY_LOG_ERROR(debugDescription() + " create alias called with empty alias");
        runOnMainQueue(completion);
        return;
    }
    if (newAlias == forDistinctId) {
        TALLY_LOG_ERROR("alias: " + newAlias + " matches distinctId: " + forDistinctId + " - skipping api call.");
        runOnMainQueue(completion);
        return;
    }
    if (isShutDown.load()) {
        runOnMainQueue(completion);
        return;
    }
    trackingQueueRef->async([weak = weak_from_this(), newAlias] {
        // The caller's completion travels with the flush below.
        if (const auto self = weak.lock()) {
            TallyIdentity identity;
            self->readWriteLock->write([&] { self->aliasId = newAlias; });
            self->readWriteLock->read([&] { identity = self->currentIdentity(); });
            TallyPersistence::saveIdentity(identity, self->instanceName);
        }
    });
    track("$create_alias", Properties{{"distinct_id", forDistinctId}, {"alias", newAlias}});
    if (andIdentify) {
        identify(forDistinctId, usePeople);
    }
    flush(false, std::move(completion));
}

void TallyInstance::reset(Completion completion)
{
    flush();
    if (isShutDown.load()) {
        runOnMainQueue(completion);
        return;
    }
    trackingQueueRef->async([weak = weak_from_this(), completion] {
        const auto self = weak.lock();
        if (!self) {
            runOnMainQueue(completion);
            return;
        }
        TallyPersistence::deleteTLUserDefaultsData(self->instanceName);
        std::optional<bool> status;
        self->readWriteLock->write([&] {
            self->timedEvents.clear();
            self->applyFreshDeviceIdentity();
            self->superProperties.clear();
            self->peopleInstance->distinctId.reset();
            self->aliasId.reset();
            status = self->optOut;
        });
        self->persistence->resetEntities();
        self->archive();
        // The user's opt-out decision outlives a reset, on disk as in memory.
        if (status) {
            TallyPersistence::saveOptOutStatusFlag(*status, self->instanceName);
        }
        runOnMainQueue(completion);
    });
}

void TallyInstance::archive()
{
    readWriteLock->read([&] {
        TallyPersistence::saveTimedEvents(timedEvents, instanceName);
        TallyPersistence::saveSuperProperties(superProperties, instanceName);
        TallyPersistence::saveIdentity(currentIdentity(), instanceName);
    });
}

void TallyInstance::unarchive()
{
    bool mustSave = false;
    readWriteLock->write([&] {
        optOut = TallyPersistence::loadOptOutStatusFlag(instanceName);
        pendingProfileDeletions = TallyPersistence::loadPendingProfileDeletions(instanceName);
        superProperties = TallyPersistence::loadSuperProperties(instanceName);
        timedEvents = TallyPersistence::loadTimedEvents(instanceName);
        const TallyIdentity identity = TallyPersistence::loadIdentity(instanceName);
        distinct = identity.distinctID;
        peopleInstance->distinctId = identity.peopleDistinctID;
        anonymous = identity.anonymousId;
        user = identity.userId;
        aliasId = identity.alias;
        hadPersisted = identity.hadPersistedDistinctId;
        if (distinct.empty()) {
            applyFreshDeviceIdentity();
            mustSave = true;
        }
    });
    if (mustSave) {
        readWriteLock->read([&] { TallyPersistence::saveIdentity(currentIdentity(), instanceName); });
    }
}

// The one record that leaves for a user who opts out is the deletion of their profile. It is built
// now with their distinct id and kept apart from the record queue (whose people records take the
// identity stored when they are loaded), so that it can never go out in another user's name.
void TallyInstance::queueProfileDeletionOfDepartingUser(const std::string& departing)
{
    EntityRecord deletion =
        peopleInstance->buildRecord("$delete", {}, currentMilliseconds(), peopleInstance->ignoreTime.load(), departing);
    bool added = false;
    readWriteLock->write([&] {
        const bool pending =
            std::any_of(pendingProfileDeletions.begin(), pendingProfileDeletions.end(), [&](const EntityRecord& r) {
                const auto it = r.find("$distinct_id");
                const auto* id = it == r.end() ? nullptr : it->second.get<std::string>();
                return id && *id == departing;
            });
        if (!pending) {
            pendingProfileDeletions.push_back(std::move(deletion));
            added = true;
        }
    });
    if (added) {
        storePendingProfileDeletions();
    }
}

bool TallyInstance::hasPendingProfileDeletions() const
{
    bool pending = false;
    readWriteLock->read([&] { pending = !pendingProfileDeletions.empty(); });
    return pending;
}

void TallyInstance::storePendingProfileDeletions()
{
    readWriteLock->read([&] { TallyPersistence::savePendingProfileDeletions(pendingProfileDeletions, instanceName); });
}

bool TallyInstance::deliverPendingProfileDeletions()
{
    for (;;) {
        EntityBatch batch;
        readWriteLock->read([&] {
            const auto count =
                std::min<std::size_t>(pendingProfileDeletions.size(), std::size_t{APIConstants::maxBatchSize});
            batch.assign(pendingProfileDeletions.begin(),
                         pendingProfileDeletions.begin() + static_cast<std::ptrdiff_t>(count));
        });
        if (batch.empty()) {
            return true;
        }
        const ServerProxyResource resource = proxyResource();
        if (!flushInstance->sendNow(batch, FlushType::people, resource.headers,
                                    resource.queryItems.value_or(std::vector<URLQueryItem>{}))) {
            return false;
        }
        // Only this queue removes, and only from the front; opt-outs append.
        readWriteLock->write([&] {
            pendingProfileDeletions.erase(pendingProfileDeletions.begin(),
                                          pendingProfileDeletions.begin() + static_cast<std::ptrdiff_t>(batch.size()));
        });
        // Stored even after a shutdown: a delivered deletion must not go out again next run.
        trackingQueueRef->async([weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->storePendingProfileDeletions();
            }
        });
    }
}

void TallyInstance::optOutTracking()
{
    onTrackingQueue([](TallyInstance& self) {
        std::optional<std::string> peopleId;
        self.readWriteLock->write([&] {
            peopleId = self.peopleInstance->distinctId;
            ++self.optOutCount;
        });
        // Stored before anything else changes, so that neither a failure nor a restart loses it.
        if (peopleId) {
            self.queueProfileDeletionOfDepartingUser(*peopleId);
        }
        // Nothing else the user recorded leaves, now or after an opt-in.
        self.persistence->resetEntities();
        self.readWriteLock->write([&] {
            self.aliasId.reset();
            self.peopleInstance->distinctId.reset();
            self.applyFreshDeviceIdentity();
            self.superProperties.clear();
            self.timedEvents.clear();
            TallyPersistence::saveTimedEvents(self.timedEvents, self.instanceName);
        });
        self.archive();
        self.readWriteLock->write([&] { self.optOut = true; });
        self.readWriteLock->read([&] { TallyPersistence::saveOptOutStatusFlag(true, self.instanceName); });
        if (self.hasPendingProfileDeletions()) {
            self.flush();
        }
    });
}

void TallyInstance::optInTracking(const std::optional<std::string>& newDistinctId,
                                  const std::optional<Properties>& properties)
{
    onTrackingQueue([newDistinctId, properties](TallyInstance& self) {
        self.readWriteLock->write([&] { self.optOut = false; });
        self.readWriteLock->read([&] { TallyPersistence::saveOptOutStatusFlag(false, self.instanceName); });
        if (newDistinctId) {
            self.identify(*newDistinctId, true);
        }
        self.track("$opt_in", properties);
    });
}

} // namespace tally
