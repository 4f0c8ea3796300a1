#pragma once

#include "analytics/EntityRecord.h"
#include "analytics/FlushRequest.h"
#include "analytics/ReadWriteLock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tally {

class RepeatingTimer;

/// The client instance, as the flush engine sees it (held weakly).
class FlushDelegate {
public:
    virtual ~FlushDelegate() = default;
    /// Asks for a flush; the engine passes false and no completion.
    virtual void flush(bool performFullFlush, std::function<void()> completion) = 0;
    /// The rows with these ids were delivered and may be deleted.
    virtual void flushSuccess(FlushType type, const std::vector<std::int32_t>& ids) = 0;
};

class AppLifecycle {
public:
    virtual ~AppLifecycle() = default;
    virtual void applicationDidBecomeActive() = 0;
    virtual void applicationWillResignActive() = 0;
};

/// Decides when to flush (a repeating timer on the main queue) and delivers the records a flush
/// hands it, in batches of at most `flushBatchSize()`, one blocking request at a time on the
/// caller's (network) queue, reporting each delivered batch to the delegate. Must be owned by a
/// `std::shared_ptr` (the timer's blocks hold it weakly).
class Flush : public AppLifecycle, public std::enable_shared_from_this<Flush> {
public:
    Flush(std::string serverURL, bool useGzipCompression);
    ~Flush() override;

    std::shared_ptr<FlushDelegate> delegate() const;
    void setDelegate(std::weak_ptr<FlushDelegate> delegate);

    bool useIPAddressForGeoLocation() const { return useIP; }
    void setUseIPAddressForGeoLocation(bool value) { useIP = value; }
    bool flushOnBackground() const { return onBackground; }
    void setFlushOnBackground(bool value) { onBackground = value; }
    bool useGzipCompression() const { return gzip; }
    void setUseGzipCompression(bool value) { gzip = value; }

    std::string serverURL() const;
    /// Also the address of the request object.
    void setServerURL(std::string url);
    double flushInterval() const;
    /// Stores the interval, asks the delegate for a flush (on every write) and restarts the timer
    /// (none while the interval is 0 or less).
    void setFlushInterval(double seconds);
    std::int64_t flushBatchSize() const { return batchSize; }
    /// Values below 1 are taken as 1.
    void setFlushBatchSize(std::int64_t size);

    FlushRequest& flushRequest() { return request; }

    /// Sends `queue` (records of one kind, each with its "id"): nothing while the back-off holds
    /// requests back; stops at the first batch that fails. Records that an earlier call already
    /// delivered are not sent again, although their rows may not have been deleted yet.
    void flushQueue(const EntityBatch& queue, FlushType type, const std::map<std::string, std::string>& headers = {},
                    const std::vector<URLQueryItem>& queryItems = {});

    /// Sends `records` (at most one batch, no row ids) as one request, unless the back-off holds
    /// requests back; true when the server took them. Nothing is reported to the delegate.
    bool sendNow(const EntityBatch& records, FlushType type, const std::map<std::string, std::string>& headers = {},
                 const std::vector<URLQueryItem>& queryItems = {});

    void startFlushTimer();
    void stopFlushTimer();
    /// Stops the timer for good on the calling (main) thread: its thread has ended when this
    /// returns, and no later start creates one. For the end of the application, whose main queue
    /// no longer runs.
    void closeFlushTimer();
    void applicationDidBecomeActive() override;
    void applicationWillResignActive() override;

    /// Whether a timer is scheduled.
    bool hasTimer() const;

    /// `queue` without its first `batchSize` records.
    static EntityBatch removeProcessedBatch(std::int64_t batchSize, const EntityBatch& queue, FlushType type);

private:
    void flushSelector();
    void flushQueueInBatches(const EntityBatch& queue, FlushType type,
                             const std::map<std::string, std::string>& headers,
                             const std::vector<URLQueryItem>& queryItems);

    mutable std::mutex timerLock;
    std::shared_ptr<RepeatingTimer> timer; // replaced only by blocks on the main queue
    bool timerClosed = false;              // guarded by timerLock
    mutable std::mutex delegateLock;
    std::weak_ptr<FlushDelegate> weakDelegate;
    std::atomic<bool> useIP{true};
    FlushRequest request;
    std::atomic<bool> onBackground{true};
    double interval = 0;
    std::atomic<std::int64_t> batchSize;
    std::string url;
    std::atomic<bool> gzip;
    mutable ReadWriteLock flushRequestReadWriteLock;
    std::mutex deliveredLock;
    std::map<FlushType, std::set<std::int32_t>> delivered;
};

} // namespace tally
