#include "analytics/TallyLogger.h"

#include "analytics/ReadWriteLock.h"

#include <cstdio>
#include <set>
#include <vector>

namespace tally {

namespace {

struct LoggerState {
    std::vector<std::shared_ptr<TallyLogging>> loggers;
    std::set<TallyLogLevel> enabledLevels;
    ReadWriteLock readWriteLock{"loggerLock"};
};

LoggerState& state()
{
    static LoggerState* shared = new LoggerState; // lives to the end of the process, past static destructors
    return *shared;
}

} // namespace

std::string_view rawValue(TallyLogLevel level)
{
    switch (level) {
    case TallyLogLevel::debug:
        return "debug";
    case TallyLogLevel::info:
        return "info";
    case TallyLogLevel::warning:
        return "warning";
    case TallyLogLevel::error:
        return "error";
    }
    return "error";
}

std::optional<TallyLogLevel> tallyLogLevel(std::string_view raw)
{
    for (const auto level : {TallyLogLevel::debug, TallyLogLevel::info, TallyLogLevel::warning, TallyLogLevel::error}) {
        if (rawValue(level) == raw) {
            return level;
        }
    }
    return std::nullopt;
}

TallyLogMessage::TallyLogMessage(std::string_view path, std::string function, std::string text, TallyLogLevel level)
    : function(std::move(function))
    , text(std::move(text))
    , level(level)
{
    const auto slash = path.rfind('/');
    file = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void TallyLogger::addLogging(std::shared_ptr<TallyLogging> logging)
{
    LoggerState& s = state();
    s.readWriteLock.write([&] { s.loggers.push_back(std::move(logging)); });
}

void TallyLogger::enableLevel(TallyLogLevel level)
{
    LoggerState& s = state();
    s.readWriteLock.write([&] { s.enabledLevels.insert(level); });
}

void TallyLogger::disableLevel(TallyLogLevel level)
{
    LoggerState& s = state();
    s.readWriteLock.write([&] { s.enabledLevels.erase(level); });
}

void TallyLogger::debug(const Message& message, std::string_view path, std::string_view function)
{
    report(TallyLogLevel::debug, message, path, function);
}

void TallyLogger::info(const Message& message, std::string_view path, std::string_view function)
{
    report(TallyLogLevel::info, message, path, function);
}

void TallyLogger::warn(const Message& message, std::string_view path, std::string_view function)
{
    report(TallyLogLevel::warning, message, path, function);
}

void TallyLogger::error(const Message& message, std::string_view path, std::string_view function)
{
    report(TallyLogLevel::error, message, path, function);
}

void TallyLogger::report(TallyLogLevel level, const Message& message, std::string_view path, std::string_view function)
{
    LoggerState& s = state();
    bool enabled = false;
    s.readWriteLock.read([&] { enabled = s.enabledLevels.count(level) > 0; });
    if (!enabled) {
        return;
    }
    forwardLogMessage(TallyLogMessage(path, std::string(function), message ? message() : std::string(), level));
}

void TallyLogger::forwardLogMessage(const TallyLogMessage& message)
{
    LoggerState& s = state();
    std::vector<std::shared_ptr<TallyLogging>> loggers;
    s.readWriteLock.read([&] { loggers = s.loggers; });
    s.readWriteLock.write([&] {
        for (const auto& logging : loggers) {
            logging->addMessage(message);
        }
    });
}

void PrintLogging::addMessage(const TallyLogMessage& message)
{
    std::string line = "[Tally - " + message.file + " - func " + message.function + "] (" +
                       std::string(rawValue(message.level)) + ") - " + message.text + "\n";
    // One write per line, so that a line is whole even if another writer shares the stream.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

} // namespace tally
