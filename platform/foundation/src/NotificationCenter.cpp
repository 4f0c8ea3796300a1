#include "platform/foundation/NotificationCenter.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace foundation {

namespace {

struct Observer {
    NotificationCenter::Token token;
    std::string name;
    NotificationCenter::Block block;
    std::atomic<bool> registered{true};
};

} // namespace

struct NotificationCenter::State {
    std::mutex mutex;
    Token lastToken = 0;
    // Shared with deliveries in progress, so that an observer removed mid-delivery (even by
    // itself) stays alive until its call returns.
    std::vector<std::shared_ptr<Observer>> observers;
};

NotificationCenter::NotificationCenter()
    : state(std::make_shared<State>())
{
}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter()
{
    // Never destroyed: observers held by other static objects may be removed during exit.
    static NotificationCenter* const center = new NotificationCenter();
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Block block)
{
    auto observer = std::make_shared<Observer>();
    observer->name = name;
    observer->block = std::move(block);
    const std::lock_guard lock(state->mutex);
    observer->token = ++state->lastToken;
    state->observers.push_back(observer);
    return observer->token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::shared_ptr<Observer> removed; // released after the lock: the block's captures may do anything
    {
        const std::lock_guard lock(state->mutex);
        for (auto it = state->observers.begin(); it != state->observers.end(); ++it) {
            if ((*it)->token == token) {
                removed = std::move(*it);
                removed->registered = false;
                state->observers.erase(it);
                break;
            }
        }
    }
}

void NotificationCenter::post(const Notification& notification)
{
    std::vector<std::shared_ptr<Observer>> recipients;
    {
        const std::lock_guard lock(state->mutex);
        for (const auto& observer : state->observers) {
            if (observer->name == notification.name) {
                recipients.push_back(observer);
            }
        }
    }
    for (const auto& observer : recipients) {
        if (observer->registered && observer->block) {
            observer->block(notification);
        }
    }
}

} // namespace foundation
