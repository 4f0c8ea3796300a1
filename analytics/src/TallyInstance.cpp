#include "analytics/TallyInstance.h"

#include "analytics/Constants.h"
#include "analytics/Group.h"
#include "analytics/People.h"
#include "analytics/SystemFacts.h"
#include "analytics/TallyLogger.h"

#include "platform/foundation/Date.h"
#include "platform/foundation/MainQueue.h"
#include "platform/foundation/Uuid.h"

#include <algorithm>
#include <limits>
#include <thread>

namespace tally {

namespace {

constexpr const char* kDevicePrefix = "$device:";

PersistenceType persistenceTypeFromFlushType(FlushType type)
{
    switch (type) {
    case FlushType::events:
        return PersistenceType::events;
    case FlushType::people:
        return PersistenceType::people;
    case FlushType::groups:
        return PersistenceType::groups;
    }
    return PersistenceType::events;
}

} // namespace

std::optional<ProxyServerConfig> ProxyServerConfig::make(std::string serverUrl,
                                                         std::shared_ptr<TallyProxyServerDelegate> delegate)
{
    if (serverUrl == BasePath::DefaultTallyAPI()) {
        return std::nullopt;
    }
    return ProxyServerConfig{std::move(serverUrl), std::move(delegate)};
}

// Phase one: the parts that need no reference to the instance.
TallyInstance::TallyInstance(Private, const Options& options)
    : instanceName(options.name)
    , uniqueDistinctId(options.useUniqueDistinctId)
    , automaticEvents(options.trackAutomaticEvents)
{
    if (options.apiToken && !options.apiToken->empty()) {
        token = *options.apiToken;
    }
    serverAddress = options.serverURL.value_or(BasePath::DefaultTallyAPI());
    gzip = options.useGzipCompression;
    proxyServerDelegate = options.proxyServerDelegate;
    const std::string queueLabel = std::string(tallyLabelPrefix) + "." + token;
    trackingQueueRef = std::make_shared<foundation::DispatchQueue>(queueLabel + ".tracking)");
    networkQueueRef = std::make_shared<foundation::DispatchQueue>(queueLabel + ".network)");
    persistence = std::make_shared<TallyPersistence>(instanceName);
    persistence->migrate();
    readWriteLock = std::make_shared<ReadWriteLock>(std::string(tallyLabelPrefix) + ".globallock");
    flushInstance = std::make_shared<Flush>(serverAddress, gzip);
    metadata = std::make_shared<SessionMetadata>(trackingQueueRef);
    trackInstance = std::make_shared<Track>(token, instanceName, readWriteLock, metadata, persistence);
    distinct = kDevicePrefix + defaultDeviceId();
    peopleInstance = std::make_shared<People>(token, trackingQueueRef, readWriteLock, metadata, persistence);
}

std::shared_ptr<TallyInstance> TallyInstance::create(const Options& options)
{
    auto instance = std::make_shared<TallyInstance>(Private{}, options);
    instance->setUp(options);
    return instance;
}

// Phase two: hand out references to the instance, restore its state, then start flushing.
void TallyInstance::setUp(const Options& options)
{
    const std::weak_ptr<TallyInstance> self = weak_from_this();
    trackInstance->setTallyInstance(self);
    flushInstance->setDelegate(std::weak_ptr<FlushDelegate>(shared_from_this()));
    peopleInstance->setTallyInstance(self);
    peopleInstance->setDelegate(std::weak_ptr<FlushDelegate>(shared_from_this()));
    setupListeners();
    unarchive();
    if (options.optOutTrackingByDefault && (hasOptedOutTracking() || !optOutStatus())) {
        optOutTracking();
        // Opted out when construction returns.
        trackingQueueRef->sync([] {});
    }
    // The first flush (setting the interval flushes at once) decides on the restored opt-out.
    flushInstance->setFlushInterval(options.flushInterval);
    if (options.superProperties) {
        registerSuperProperties(*options.superProperties);
    }
}

TallyInstance::~TallyInstance()
{
    auto& center = foundation::NotificationCenter::defaultCenter();
    for (const auto observer : observers) {
        center.removeObserver(observer);
    }
    // A queue never joins itself: when the last reference goes on one of the instance's own queues,
    // the queues are released from a thread of their own, which waits for the running item to end.
    if (trackingQueueRef->isCurrent() || networkQueueRef->isCurrent()) {
        std::thread([tracking = std::move(trackingQueueRef), network = std::move(networkQueueRef)]() mutable {
            tracking.reset();
            network.reset();
        }).detach();
    }
}

// Settings ---------------------------------------------------------------------------------------

std::string TallyInstance::apiToken() const
{
    std::string value;
    readWriteLock->read([&] { value = token; });
    return value;
}

std::string TallyInstance::serverURL() const
{
    std::string value;
    readWriteLock->read([&] { value = serverAddress; });
    return value;
}

void TallyInstance::setServerURL(const std::string& url)
{
    readWriteLock->write([&] { serverAddress = url; });
    flushInstance->setServerURL(url);
}

bool TallyInstance::useGzipCompression() const
{
    bool value = false;
    readWriteLock->read([&] { value = gzip; });
    return value;
}

void TallyInstance::setUseGzipCompression(bool on)
{
    readWriteLock->write([&] { gzip = on; });
    flushInstance->setUseGzipCompression(on);
}

double TallyInstance::flushInterval() const { return flushInstance->flushInterval(); }
void TallyInstance::setFlushInterval(double seconds) { flushInstance->setFlushInterval(seconds); }
bool TallyInstance::flushOnBackground() const { return flushInstance->flushOnBackground(); }
void TallyInstance::setFlushOnBackground(bool on) { flushInstance->setFlushOnBackground(on); }
bool TallyInstance::useIPAddressForGeoLocation() const { return flushInstance->useIPAddressForGeoLocation(); }
void TallyInstance::setUseIPAddressForGeoLocation(bool on) { flushInstance->setUseIPAddressForGeoLocation(on); }
std::int64_t TallyInstance::flushBatchSize() const { return flushInstance->flushBatchSize(); }

void TallyInstance::setFlushBatchSize(std::int64_t size)
{
    flushInstance->setFlushBatchSize(std::clamp<std::int64_t>(size, 1, APIConstants::maxBatchSize));
}

bool TallyInstance::loggingEnabled() const
{
    bool value = false;
    readWriteLock->read([&] { value = logging; });
    return value;
}

void TallyInstance::setLoggingEnabled(bool on)
{
    readWriteLock->write([&] { logging = on; });
    constexpr TallyLogLevel levels[] = {TallyLogLevel::debug, TallyLogLevel::info, TallyLogLevel::warning,
                                        TallyLogLevel::error};
    if (on) {
        for (const auto level : levels) {
            TallyLogger::enableLevel(level);
        }
        TALLY_LOG_INFO("TallyLogging Enabled");
    } else {
        TALLY_LOG_INFO("TallyLogging Disabled");
        for (const auto level : levels) {
            TallyLogger::disableLevel(level);
        }
    }
}

void TallyInstance::setDelegate(std::weak_ptr<TallyDelegate> newDelegate)
{
    readWriteLock->write([&] { delegate = std::move(newDelegate); });
}

void TallyInstance::setProxyServerDelegate(std::weak_ptr<TallyProxyServerDelegate> newDelegate)
{
    readWriteLock->write([&] { proxyServerDelegate = std::move(newDelegate); });
}

// Identity fields --------------------------------------------------------------------------------

std::string TallyInstance::distinctId() const
{
    std::string value;
    readWriteLock->read([&] { value = distinct; });
    return value;
}

std::optional<std::string> TallyInstance::anonymousId() const
{
    std::optional<std::string> value;
    readWriteLock->read([&] { value = anonymous; });
    return value;
}

std::optional<std::string> TallyInstance::userId() const
{
    std::optional<std::string> value;
    readWriteLock->read([&] { value = user; });
    return value;
}

std::optional<bool> TallyInstance::hadPersistedDistinctId() const
{
    std::optional<bool> value;
    readWriteLock->read([&] { value = hadPersisted; });
    return value;
}

std::optional<std::string> TallyInstance::alias() const
{
    std::optional<std::string> value;
    readWriteLock->read([&] { value = aliasId; });
    return value;
}

std::optional<bool> TallyInstance::optOutStatus() const
{
    std::optional<bool> value;
    readWriteLock->read([&] { value = optOut; });
    return value;
}

std::string TallyInstance::debugDescription() const
{
    std::string text;
    readWriteLock->read([&] { text = "Tally(\n    Token: " + token + ",\n    Distinct Id: " + distinct + "\n)"; });
    return text;
}

// Device identity ---------------------------------------------------------------------------------

bool TallyInstance::isiOSAppExtension() { return SystemFacts::current()->bundlePath().ends_with(".appex"); }

std::string TallyInstance::addPrefixToDeviceId(const std::optional<std::string>& deviceId)
{
    return deviceId ? kDevicePrefix + *deviceId : std::string();
}

std::optional<std::string> TallyInstance::uniqueIdentifierForDevice() const
{
    return SystemFacts::current()->serialNumber();
}

std::string TallyInstance::defaultDeviceId() const
{
    if (uniqueDistinctId) {
        if (auto serial = uniqueIdentifierForDevice()) {
            return *serial;
        }
    }
    return foundation::Uuid::random().toString();
}

TallyIdentity TallyInstance::currentIdentity() const
{
    return TallyIdentity{distinct, peopleInstance->distinctId, anonymous, user, aliasId, hadPersisted};
}

void TallyInstance::applyFreshDeviceIdentity()
{
    anonymous = defaultDeviceId();
    distinct = addPrefixToDeviceId(anonymous);
    hadPersisted = true;
    user.reset();
}

// Queues ------------------------------------------------------------------------------------------

void TallyInstance::runOnMainQueue(const Completion& completion)
{
    if (completion) {
        foundation::mainQueue().async(completion);
    }
}

void TallyInstance::onTrackingQueue(std::function<void(TallyInstance&)> work)
{
    if (isShutDown.load()) {
        return;
    }
    trackingQueueRef->async([weak = weak_from_this(), work = std::move(work)] {
        if (const auto self = weak.lock()) {
            work(*self);
        }
    });
}

void TallyInstance::waitUntilIdle()
{
    trackingQueueRef->sync([] {});
    networkQueueRef->sync([] {});
    trackingQueueRef->sync([] {});
}

void TallyInstance::shutdown(std::chrono::milliseconds deliveryLimit)
{
    if (isShutDown.load()) {
        return;
    }
    // At the end the main queue runs no more: the timer stops here, not through it.
    flushInstance->closeFlushTimer();
    flush();
    isShutDown.store(true);
    const auto deadline = std::chrono::steady_clock::now() + deliveryLimit;
    // The tracking queue hands the flush to the network queue, which hands the deletion of what was
    // delivered back to the tracking queue; wait for all three, but not past the limit.
    for (const auto& queue : {trackingQueueRef, networkQueueRef, trackingQueueRef}) {
        auto done = std::make_shared<foundation::Semaphore>(0);
        queue->async([done] { done->signal(); });
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero() || !done->wait(left)) {
            break;
        }
    }
    // A clean close folds the write-ahead log into the file and removes it. A delivery that ends
    // after the limit still deletes its rows (and opens the store again for that).
    auto closed = std::make_shared<foundation::Semaphore>(0);
    trackingQueueRef->async([store = persistence, closed] {
        store->closeDB();
        closed->signal();
    });
    closed->wait(
        std::max<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now(), std::chrono::seconds(1)));
}

// Notifications -----------------------------------------------------------------------------------

void TallyInstance::setupListeners()
{
    auto& center = foundation::NotificationCenter::defaultCenter();
    const std::weak_ptr<TallyInstance> weak = weak_from_this();
    observers.push_back(center.addObserver(foundation::kApplicationWillResignActive, [weak](const auto&) {
        if (const auto self = weak.lock()) {
            self->applicationWillResignActive();
        }
    }));
    observers.push_back(center.addObserver(foundation::kApplicationDidBecomeActive, [weak](const auto&) {
        if (const auto self = weak.lock()) {
            self->applicationDidBecomeActive();
        }
    }));
}

void TallyInstance::applicationDidBecomeActive() { flushInstance->applicationDidBecomeActive(); }

void TallyInstance::applicationWillResignActive()
{
    flushInstance->applicationWillResignActive();
    if (flushOnBackground()) {
        flush();
    }
}

// Tracking and flushing ---------------------------------------------------------------------------

void TallyInstance::track(const std::optional<std::string>& event, const std::optional<Properties>& properties)
{
    const double epochInterval = foundation::Date::now().timeIntervalSince1970();
    onTrackingQueue([event, properties, epochInterval](TallyInstance& self) {
        if (self.hasOptedOutTracking()) {
            return;
        }
        Properties timed;
        Properties supers;
        TallyIdentity identity;
        self.readWriteLock->read([&] {
            timed = self.timedEvents;
            supers = self.superProperties;
            identity =
                TallyIdentity{self.distinct, std::nullopt, self.anonymous, self.user, std::nullopt, self.hadPersisted};
        });
        Properties remaining = self.trackInstance->track(event, properties, timed, supers, identity, epochInterval);
        self.readWriteLock->write([&] { self.timedEvents = std::move(remaining); });
    });
    if (isiOSAppExtension()) {
        flush();
    }
}

void TallyInstance::flush(bool performFullFlush, Completion completion)
{
    // While opted out, a flush only delivers the profile deletions still pending.
    if (isShutDown.load() || (hasOptedOutTracking() && !hasPendingProfileDeletions())) {
        runOnMainQueue(completion);
        return;
    }
    trackingQueueRef->async([weak = weak_from_this(), performFullFlush, completion = std::move(completion)] {
        const auto self = weak.lock();
        if (!self) {
            runOnMainQueue(completion);
            return;
        }
        std::weak_ptr<TallyDelegate> weakDelegate;
        bool optedOut = false;
        std::uint64_t optOutsAtLoad = 0;
        self->readWriteLock->read([&] {
            weakDelegate = self->delegate;
            optedOut = self->optOut.value_or(false);
            optOutsAtLoad = self->optOutCount;
        });
        if (const auto host = weakDelegate.lock(); host && !host->tallyShouldFlush(*self)) {
            runOnMainQueue(completion);
            return;
        }
        EntityBatch events;
        EntityBatch people;
        EntityBatch groups;
        if (!optedOut) {
            const std::int64_t limit =
                performFullFlush ? std::numeric_limits<std::int64_t>::max() : self->flushBatchSize();
            auto& store = *self->persistence;
            events =
                store.loadEntitiesInBatch(PersistenceType::events, limit, false, !self->trackAutomaticEventsEnabled());
            people = store.loadEntitiesInBatch(PersistenceType::people, limit, false, false);
            groups = store.loadEntitiesInBatch(PersistenceType::groups, limit, false, false);
        }
        self->networkQueueRef->async([weak, completion, optOutsAtLoad, events = std::move(events),
                                      people = std::move(people), groups = std::move(groups)] {
            if (const auto self = weak.lock(); self && self->deliverPendingProfileDeletions()) {
                // What an opt-out since the load deleted stays unsent.
                const auto unchanged = [&] {
                    std::uint64_t optOuts = 0;
                    self->readWriteLock->read([&] { optOuts = self->optOutCount; });
                    return optOuts == optOutsAtLoad;
                };
                for (const auto& [batch, type] :
                     {std::pair{&events, FlushType::events}, std::pair{&people, FlushType::people},
                      std::pair{&groups, FlushType::groups}}) {
                    if (!unchanged()) {
                        break;
                    }
                    self->flushQueue(*batch, type);
                }
            }
            runOnMainQueue(completion);
        });
    });
}

ServerProxyResource TallyInstance::proxyResource() const
{
    std::weak_ptr<TallyProxyServerDelegate> weakProxy;
    readWriteLock->read([&] { weakProxy = proxyServerDelegate; });
    if (const auto proxy = weakProxy.lock()) {
        if (auto resource = proxy->proxyResource(instanceName)) {
            return std::move(*resource);
        }
    }
    return {};
}

void TallyInstance::flushQueue(const EntityBatch& batch, FlushType type)
{
    if (hasOptedOutTracking()) {
        return;
    }
    const ServerProxyResource resource = proxyResource();
    flushInstance->flushQueue(batch, type, resource.headers, resource.queryItems.value_or(std::vector<URLQueryItem>{}));
}

void TallyInstance::flushSuccess(FlushType type, const std::vector<std::int32_t>& ids)
{
    // Delivered rows go even after a shutdown: they must not be sent twice.
    trackingQueueRef->async([weak = weak_from_this(), type, ids] {
        if (const auto self = weak.lock()) {
            self->persistence->removeEntitiesInBatch(persistenceTypeFromFlushType(type), ids);
        }
    });
}

void TallyInstance::setOnce(const Properties& properties)
{
    if (peopleInstance) {
        peopleInstance->setOnce(properties);
    }
}

void TallyInstance::increment(const std::string& property, double by)
{
    if (peopleInstance) {
        peopleInstance->increment(property, by);
    }
}

} // namespace tally
