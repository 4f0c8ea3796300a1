#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tally {

enum class TallyLogLevel { debug, info, warning, error };

/// "debug", "info", "warning" or "error".
std::string_view rawValue(TallyLogLevel level);
/// The level whose raw value is `raw`; nullopt for any other text.
std::optional<TallyLogLevel> tallyLogLevel(std::string_view raw);

/// One delivered report.
struct TallyLogMessage {
    /// `file` is the text after the last "/" of `path` (all of it without one).
    TallyLogMessage(std::string_view path, std::string function, std::string text, TallyLogLevel level);

    std::string file;
    std::string function;
    std::string text;
    TallyLogLevel level;
};

/// A sink. It runs inside the logger's exclusive section and must not report through the logger.
class TallyLogging {
public:
    virtual ~TallyLogging() = default;
    virtual void addMessage(const TallyLogMessage& message) = 0;
};

/// The process-wide switchboard between reporting code and sinks. No level is enabled at start.
class TallyLogger {
public:
    using Message = std::function<std::string()>;

    /// Sinks are kept for the rest of the process; one added twice receives each report twice.
    static void addLogging(std::shared_ptr<TallyLogging> logging);
    static void enableLevel(TallyLogLevel level);
    static void disableLevel(TallyLogLevel level);

    /// `message` is called once when the level is enabled, never otherwise.
    static void debug(const Message& message, std::string_view path, std::string_view function);
    static void info(const Message& message, std::string_view path, std::string_view function);
    static void warn(const Message& message, std::string_view path, std::string_view function);
    static void error(const Message& message, std::string_view path, std::string_view function);

    TallyLogger() = delete;

private:
    static void report(TallyLogLevel level, const Message& message, std::string_view path, std::string_view function);
    static void forwardLogMessage(const TallyLogMessage& message);
};

/// Prints "[Tally - <file> - func <function>] (<level>) - <text>" on standard output.
class PrintLogging final : public TallyLogging {
public:
    void addMessage(const TallyLogMessage& message) override;
};

} // namespace tally

// Report with the caller's file and function; the message expression is evaluated only when
// its level is enabled.
#define TALLY_LOG_DEBUG(...)                                                                                           \
    ::tally::TallyLogger::debug([&]() -> std::string { return __VA_ARGS__; }, __FILE__, __func__)
#define TALLY_LOG_INFO(...) ::tally::TallyLogger::info([&]() -> std::string { return __VA_ARGS__; }, __FILE__, __func__)
#define TALLY_LOG_WARN(...) ::tally::TallyLogger::warn([&]() -> std::string { return __VA_ARGS__; }, __FILE__, __func__)
#define TALLY_LOG_ERROR(...)                                                                                           \
    ::tally::TallyLogger::error([&]() -> std::string { return __VA_ARGS__; }, __FILE__, __func__)
