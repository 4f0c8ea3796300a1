#pragma once

#include "platform/foundation/PlistValue.h"

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace foundation {

/// One posted notification.
struct Notification {
    std::string name;
    std::map<std::string, std::any> userInfo;
};

/// Application notification names.
inline constexpr const char* kApplicationWillTerminate = "ApplicationWillTerminate";
inline constexpr const char* kApplicationDidBecomeActive = "ApplicationDidBecomeActive";
inline constexpr const char* kApplicationWillResignActive = "ApplicationWillResignActive";

/// Delivers notifications to the observers registered for their name, synchronously on the
/// posting thread, in registration order. Observers may add or remove observers (themselves
/// included) from inside a delivery; a removed observer is not called afterwards, and one added
/// during a delivery first hears the next post. Registration and posting are thread-safe; a removal
/// does not wait for a call of that observer already running on another thread.
class NotificationCenter {
public:
    using Token = std::uint64_t;
    using Block = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    /// The process's application notification center.
    static NotificationCenter& defaultCenter();

    /// Registers `block` for notifications named `name`. Returns a token for removal (never 0).
    Token addObserver(const std::string& name, Block block);
    /// Removes a registration; unknown tokens are ignored.
    void removeObserver(Token token);
    void post(const Notification& notification);
    void post(const std::string& name) { post(Notification{name, {}}); }

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace foundation
