#pragma once

#include <string>
#include <vector>

namespace testsupport {

/// Collects the Qt log lines of the categories starting with `prefix` as "category: message",
/// while it lives; other messages go on to the handler that was installed before. One at a time,
/// on the main thread.
class LogCapture {
public:
    explicit LogCapture(std::string prefix);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& lines() const { return captured; }
    void clear() { captured.clear(); }

private:
    std::string prefix;
    std::vector<std::string> captured;
};

} // namespace testsupport
