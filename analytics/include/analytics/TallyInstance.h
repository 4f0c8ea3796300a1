#pragma once

#include "analytics/Flush.h"
#include "analytics/Network.h"
#include "analytics/ReadWriteLock.h"
#include "analytics/SessionMetadata.h"
#include "analytics/TallyPersistence.h"
#include "analytics/TallyType.h"
#include "analytics/Track.h"

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tally {

class Group;
class People;
class TallyInstance;

/// The host's say over flushes: asked on the tracking queue at the start of every flush.
class TallyDelegate {
public:
    virtual ~TallyDelegate() = default;
    /// false cancels that flush.
    virtual bool tallyShouldFlush(TallyInstance& instance) = 0;
};

/// Extra headers and query items for the requests of an instance.
class TallyProxyServerDelegate {
public:
    virtual ~TallyProxyServerDelegate() = default;
    /// Asked on the network queue before each record kind of a flush is sent.
    virtual std::optional<ServerProxyResource> proxyResource(const std::string& instanceName) = 0;
};

/// A server address with the delegate that supplies its extra headers and query items.
struct ProxyServerConfig {
    std::string serverUrl;
    std::shared_ptr<TallyProxyServerDelegate> delegate; ///< held while the value lives

    /// nullopt when `serverUrl` is the default API address.
    static std::optional<ProxyServerConfig> make(std::string serverUrl,
                                                 std::shared_ptr<TallyProxyServerDelegate> delegate);
};

/// A completion callback; always run asynchronously on the main queue.
using Completion = std::function<void()>;

/// Forwarding of automatic-event helpers to the people records.
class AEDelegate {
public:
    virtual ~AEDelegate() = default;
    virtual void track(const std::optional<std::string>& event, const std::optional<Properties>& properties) = 0;
    virtual void setOnce(const Properties& properties) = 0;
    virtual void increment(const std::string& property, double by) = 0;
};

/// One analytics client: one project token and name, one record store, one flush engine, a
/// serial tracking queue and a serial network queue, and the identity and settings of one user.
///
/// Always held in a shared_ptr (made by create()); everything that points back at it (its queued
/// work, its builders, the flush engine) holds it weakly. Every public operation may be called
/// from any thread; the caller's thread only reads the clock, checks and enqueues.
class TallyInstance : public FlushDelegate, public AEDelegate, public std::enable_shared_from_this<TallyInstance> {
    struct Private {};

public:
    struct Options {
        std::optional<std::string> apiToken;
        double flushInterval = 60;
        std::string name;
        bool trackAutomaticEvents = false;
        bool optOutTrackingByDefault = false;
        bool useUniqueDistinctId = false;
        std::optional<Properties> superProperties;
        std::optional<std::string> serverURL;
        std::shared_ptr<TallyProxyServerDelegate> proxyServerDelegate; ///< held weakly by the instance
        bool useGzipCompression = false;
    };

    /// Builds an instance in two phases: its parts first, then everything that hands out a
    /// reference to it (flush engine, builders, notifications, the first flush).
    static std::shared_ptr<TallyInstance> create(const Options& options);
    TallyInstance(Private, const Options& options);
    ~TallyInstance() override;
    TallyInstance(const TallyInstance&) = delete;
    TallyInstance& operator=(const TallyInstance&) = delete;

    // Settings.
    const std::string& name() const { return instanceName; }
    std::string apiToken() const;
    std::string serverURL() const;
    void setServerURL(const std::string& url);
    bool useGzipCompression() const;
    void setUseGzipCompression(bool on);
    double flushInterval() const;
    void setFlushInterval(double seconds);
    bool flushOnBackground() const;
    void setFlushOnBackground(bool on);
    bool useIPAddressForGeoLocation() const;
    void setUseIPAddressForGeoLocation(bool on);
    std::int64_t flushBatchSize() const;
    /// Clamped to 1 ... 50.
    void setFlushBatchSize(std::int64_t size);
    bool loggingEnabled() const;
    /// Switches the logger's four levels for the whole process.
    void setLoggingEnabled(bool on);
    bool trackAutomaticEventsEnabled() const { return automaticEvents.load(); }
    void setTrackAutomaticEventsEnabled(bool on) { automaticEvents.store(on); }
    bool showNetworkActivityIndicator() const { return networkActivityIndicator.load(); }
    void setShowNetworkActivityIndicator(bool on) { networkActivityIndicator.store(on); }
    bool useUniqueDistinctId() const { return uniqueDistinctId; }
    void setDelegate(std::weak_ptr<TallyDelegate> delegate);
    void setProxyServerDelegate(std::weak_ptr<TallyProxyServerDelegate> delegate);

    // Identity (read under the lock).
    std::string distinctId() const;
    std::optional<std::string> anonymousId() const;
    std::optional<std::string> userId() const;
    std::optional<bool> hadPersistedDistinctId() const;
    std::optional<std::string> alias() const;
    std::optional<bool> optOutStatus() const;
    std::string debugDescription() const;

    /// The people record builder; present once create() has returned.
    const std::shared_ptr<People>& people() const { return peopleInstance; }

    // Tracking and flushing.
    void track(const std::optional<std::string>& event,
               const std::optional<Properties>& properties = std::nullopt) override;
    void flush(bool performFullFlush = false, Completion completion = {}) override;
    void flushSuccess(FlushType type, const std::vector<std::int32_t>& ids) override;
    void setOnce(const Properties& properties) override;
    void increment(const std::string& property, double by) override;

    // Identity, reset and opt-out.
    bool hasOptedOutTracking() const;
    void identify(const std::string& distinctId, bool usePeople = true, Completion completion = {});
    void createAlias(const std::string& alias, const std::string& distinctId, bool usePeople = true,
                     bool andIdentify = true, Completion completion = {});
    void reset(Completion completion = {});
    void optOutTracking();
    void optInTracking(const std::optional<std::string>& distinctId = std::nullopt,
                       const std::optional<Properties>& properties = std::nullopt);

    // Super properties and timed events.
    void registerSuperProperties(const Properties& properties);
    void registerSuperPropertiesOnce(const Properties& properties,
                                     const std::optional<TallyType>& defaultValue = std::nullopt);
    void unregisterSuperProperty(const std::string& propertyName);
    void clearSuperProperties();
    void updateSuperProperty(std::function<void(Properties&)> update);
    Properties currentSuperProperties() const;
    void time(const std::string& event);
    double eventElapsedTime(const std::string& event) const;
    void clearTimedEvents();
    void clearTimedEvent(const std::string& event);

    // Groups.
    std::shared_ptr<Group> getGroup(const std::string& groupKey, const TallyType& groupID);
    static std::string makeMapKey(const std::string& groupKey, const TallyType& groupID);
    void removeCachedGroup(const std::string& groupKey, const TallyType& groupID);
    void trackWithGroups(const std::optional<std::string>& event, const std::optional<Properties>& properties,
                         const std::optional<Properties>& groups);
    void setGroup(const std::string& groupKey, const TallyType& groupID);
    void setGroup(const std::string& groupKey, const TallyArray& groupIDs);
    void addGroup(const std::string& groupKey, const TallyType& groupID);
    void removeGroup(const std::string& groupKey, const TallyType& groupID);

    // Application notifications.
    void applicationDidBecomeActive();
    void applicationWillResignActive();

    /// Stops the flush timer (its thread has ended on return), flushes what it may and takes no more
    /// work; waits until the tracking queue has run everything queued before and the network queue
    /// has finished its sends (a request in flight included), or until `deliveryLimit` has passed,
    /// then closes the store. Called on the main thread while the application ends.
    void shutdown(std::chrono::milliseconds deliveryLimit);

    /// Waits until the tracking queue and then the network queue have run what was queued before
    /// (tests and benchmarks).
    void waitUntilIdle();

    /// true when the main bundle's path ends in ".appex".
    static bool isiOSAppExtension();
    static std::string addPrefixToDeviceId(const std::optional<std::string>& deviceId);
    std::string defaultDeviceId() const;
    std::optional<std::string> uniqueIdentifierForDevice() const;

    const std::shared_ptr<foundation::DispatchQueue>& trackingQueue() const { return trackingQueueRef; }
    const std::shared_ptr<foundation::DispatchQueue>& networkQueue() const { return networkQueueRef; }
    const std::shared_ptr<TallyPersistence>& tallyPersistence() const { return persistence; }
    const std::shared_ptr<SessionMetadata>& sessionMetadata() const { return metadata; }

private:
    friend class People;
    friend class Group;

    void setUp(const Options& options);
    void setupListeners();
    void unarchive();
    void archive();
    TallyIdentity currentIdentity() const; // call under the lock
    void applyFreshDeviceIdentity();       // call under the write lock
    void flushQueue(const EntityBatch& batch, FlushType type);
    void persistSuperProperties();
    void persistTimedEvents();
    template <typename F> void enqueue(F&& work);
    void onTrackingQueue(std::function<void(TallyInstance&)> work);
    static void runOnMainQueue(const Completion& completion);
    void queueProfileDeletionOfDepartingUser(const std::string& departing); // tracking queue
    bool hasPendingProfileDeletions() const;
    /// Sends the pending profile deletions (network queue); false when some are still pending.
    bool deliverPendingProfileDeletions();
    void storePendingProfileDeletions(); // tracking queue
    ServerProxyResource proxyResource() const;

    const std::string instanceName;
    const bool uniqueDistinctId;
    std::atomic<bool> automaticEvents;
    std::atomic<bool> networkActivityIndicator{true};
    std::atomic<bool> isShutDown{false};

    std::shared_ptr<ReadWriteLock> readWriteLock;
    std::shared_ptr<foundation::DispatchQueue> trackingQueueRef;
    std::shared_ptr<foundation::DispatchQueue> networkQueueRef;
    std::shared_ptr<TallyPersistence> persistence;
    std::shared_ptr<Flush> flushInstance;
    std::shared_ptr<SessionMetadata> metadata;
    std::shared_ptr<Track> trackInstance;
    std::shared_ptr<People> peopleInstance;
    std::vector<foundation::NotificationCenter::Token> observers;

    // Guarded by readWriteLock.
    std::string token;
    std::string serverAddress;
    bool gzip = false;
    bool logging = false;
    std::weak_ptr<TallyDelegate> delegate;
    std::weak_ptr<TallyProxyServerDelegate> proxyServerDelegate;
    std::string distinct;
    std::optional<std::string> anonymous;
    std::optional<std::string> user;
    std::optional<bool> hadPersisted;
    std::optional<std::string> aliasId;
    std::optional<bool> optOut;
    Properties superProperties;
    Properties timedEvents;
    EntityBatch pendingProfileDeletions;
    // Counts opt-outs: a flush loaded before one must not send what the opt-out deleted.
    std::uint64_t optOutCount = 0;
    std::map<std::string, std::shared_ptr<Group>> groups;
};

} // namespace tally
