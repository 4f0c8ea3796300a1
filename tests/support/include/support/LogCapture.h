#pragma once

#include <string>
#include <vector>

namespace testsupport {

/// Collects the Qt log lines of the categories starting with `prefix` as "category: message",
/// while it lives, from any thread; other messages go on to the handler that was installed
/// before. One capture at a time, made and ended on the main thread.
class LogCapture {
public:
    explicit LogCapture(std::string prefix);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    void clear();

private:
    std::string prefix;
    std::vector<std::string> captured;
};

} // namespace testsupport
