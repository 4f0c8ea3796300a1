#include "analytics/Flush.h"

#include "RepeatingTimer.h"
#include "analytics/Constants.h"
#include "analytics/JSONHandler.h"
#include "analytics/TallyLogger.h"
#include "platform/foundation/MainQueue.h"

#include <algorithm>

namespace tally {

namespace {

std::int32_t rowId(const EntityRecord& record)
{
    const auto it = record.find("id");
    if (it == record.end()) {
        return 0;
    }
    std::optional<std::int64_t> id;
    if (const auto* i = it->second.get<std::int64_t>()) {
        id = *i;
    } else if (const auto* n = it->second.get<NSNumber>()) {
        id = n->exactInt();
    }
    if (!id || *id < INT32_MIN || *id > INT32_MAX) {
        return 0;
    }
    return static_cast<std::int32_t>(*id);
}

} // namespace

Flush::Flush(std::string serverURL, bool useGzipCompression)
    : request(serverURL)
    , batchSize(APIConstants::maxBatchSize)
    , url(std::move(serverURL))
    , gzip(useGzipCompression)
    , flushRequestReadWriteLock(std::string(tallyLabelPrefix) + ".flush_interval.lock")
{
}

Flush::~Flush() = default;

std::shared_ptr<FlushDelegate> Flush::delegate() const
{
    const std::lock_guard lock(delegateLock);
    return weakDelegate.lock();
}

void Flush::setDelegate(std::weak_ptr<FlushDelegate> newDelegate)
{
    const std::lock_guard lock(delegateLock);
    weakDelegate = std::move(newDelegate);
}

std::string Flush::serverURL() const
{
    std::string value;
    flushRequestReadWriteLock.read([&] { value = url; });
    return value;
}

void Flush::setServerURL(std::string newURL)
{
    flushRequestReadWriteLock.write([&] {
        url = newURL;
        request.setServerURL(std::move(newURL));
    });
}

double Flush::flushInterval() const
{
    double value = 0;
    flushRequestReadWriteLock.read([&] { value = interval; });
    return value;
}

void Flush::setFlushInterval(double seconds)
{
    flushRequestReadWriteLock.write([&] { interval = seconds; });
    if (auto target = delegate()) {
        target->flush(false, nullptr);
    }
    startFlushTimer();
}

void Flush::setFlushBatchSize(std::int64_t size) { batchSize = std::max<std::int64_t>(1, size); }

void Flush::startFlushTimer()
{
    stopFlushTimer();
    foundation::mainQueue().async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        const double seconds = self->flushInterval();
        if (seconds <= 0) {
            return;
        }
        const std::lock_guard lock(self->timerLock);
        if (self->timerClosed) {
            return;
        }
        if (self->timer) {
            self->timer->invalidate();
        }
        self->timer = std::make_shared<RepeatingTimer>(seconds, [weak] {
            if (auto engine = weak.lock()) {
                engine->flushSelector();
            }
        });
    });
}

void Flush::stopFlushTimer()
{
    // The timer present now is the one to stop; a start still queued creates its timer later.
    std::shared_ptr<RepeatingTimer> current;
    {
        const std::lock_guard lock(timerLock);
        current = timer;
    }
    if (!current) {
        return;
    }
    foundation::mainQueue().async([weak = weak_from_this(), current] {
        current->invalidate();
        if (auto self = weak.lock()) {
            const std::lock_guard lock(self->timerLock);
            if (self->timer == current) {
                self->timer.reset();
            }
        }
    });
}

void Flush::closeFlushTimer()
{
    std::shared_ptr<RepeatingTimer> current;
    {
        const std::lock_guard lock(timerLock);
        timerClosed = true;
        current = std::move(timer);
    }
    if (current) {
        current->invalidate(); // joins its thread
    }
}

bool Flush::hasTimer() const
{
    const std::lock_guard lock(timerLock);
    return timer != nullptr;
}

void Flush::flushSelector()
{
    if (auto target = delegate()) {
        target->flush(false, nullptr);
    }
}

void Flush::applicationDidBecomeActive() { startFlushTimer(); }

void Flush::applicationWillResignActive() { stopFlushTimer(); }

void Flush::flushQueue(const EntityBatch& queue, FlushType type, const std::map<std::string, std::string>& headers,
                       const std::vector<URLQueryItem>& queryItems)
{
    if (request.requestNotAllowed()) {
        return;
    }
    EntityBatch pending;
    {
        // A flush may have loaded rows that an earlier flush delivered after the load; their
        // deletion is still on its way, and sending them again would duplicate them. Ids are
        // never reused by the store within a process, and an id absent from a load is gone.
        const std::lock_guard lock(deliveredLock);
        auto& sent = delivered[type];
        std::set<std::int32_t> stillStored;
        pending.reserve(queue.size());
        for (const auto& record : queue) {
            const std::int32_t id = rowId(record);
            if (id != 0 && sent.count(id)) {
                stillStored.insert(id);
                continue;
            }
            pending.push_back(record);
        }
        sent = std::move(stillStored);
    }
    flushQueueInBatches(pending, type, headers, queryItems);
}

bool Flush::sendNow(const EntityBatch& records, FlushType type, const std::map<std::string, std::string>& headers,
                    const std::vector<URLQueryItem>& queryItems)
{
    if (request.requestNotAllowed()) {
        return false;
    }
    const auto body = JSONHandler::encodeAPIData(records);
    return body && request.sendRequest(*body, type, useIP, headers, queryItems, gzip);
}

void Flush::flushQueueInBatches(const EntityBatch& queue, FlushType type,
                                const std::map<std::string, std::string>& headers,
                                const std::vector<URLQueryItem>& queryItems)
{
    EntityBatch working = queue;
    while (!working.empty()) {
        const auto count = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(working.size()), std::max<std::int64_t>(1, batchSize)));
        const EntityBatch batch(working.begin(), working.begin() + static_cast<std::ptrdiff_t>(count));
        std::vector<std::int32_t> ids;
        ids.reserve(count);
        for (const auto& record : batch) {
            ids.push_back(rowId(record));
        }
        TALLY_LOG_DEBUG("Sending batch of data");
        TALLY_LOG_DEBUG(JSONHandler::encodeAPIData(batch).value_or("[]"));
        const auto body = JSONHandler::encodeAPIData(batch);
        if (!body) {
            return;
        }
        if (!request.sendRequest(*body, type, useIP, headers, queryItems, gzip)) {
            return;
        }
        {
            const std::lock_guard lock(deliveredLock);
            auto& sent = delivered[type];
            for (const auto id : ids) {
                if (id != 0) {
                    sent.insert(id);
                }
            }
        }
        if (auto target = delegate()) {
            target->flushSuccess(type, ids);
        }
        working = removeProcessedBatch(static_cast<std::int64_t>(count), working, type);
    }
}

EntityBatch Flush::removeProcessedBatch(std::int64_t size, const EntityBatch& queue, FlushType)
{
    if (size <= 0 || static_cast<std::size_t>(size) >= queue.size()) {
        return {};
    }
    return EntityBatch(queue.begin() + static_cast<std::ptrdiff_t>(size), queue.end());
}

} // namespace tally
