#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace tally {

/// (condition, message, file, line); returns, whatever the condition.
using AssertionHandler = std::function<void(bool, const std::string&, const char*, unsigned)>;

/// The replaceable reaction of `TLAssert`.
class Assertions {
public:
    /// The handler `TLAssert` calls; initially `swiftAssertClosure()`.
    static AssertionHandler assertClosure();
    static void setAssertClosure(AssertionHandler handler);
    /// The default: on a false condition, prints "Assertion failed" with the message, file and
    /// line on stderr in debug builds; nothing in release builds. It never stops the process.
    static const AssertionHandler& swiftAssertClosure();

    Assertions() = delete;
};

/// Hands the condition and the message (built on every call) to the current handler.
void TLAssert(const std::function<bool()>& condition, const std::function<std::string()>& message = {},
              const char* file = __builtin_FILE(), unsigned line = __builtin_LINE());

/// An invalid property type; nothing in the client raises it.
class PropertyError : public std::exception {
public:
    static PropertyError invalidType(std::string type) { return PropertyError(std::move(type)); }
    const std::string& type() const { return typeName; }
    const char* what() const noexcept override { return description.c_str(); }

private:
    explicit PropertyError(std::string type)
        : typeName(std::move(type))
        , description("invalidType(type: " + typeName + ")")
    {
    }
    std::string typeName;
    std::string description;
};

class ErrorHandler {
public:
    /// Runs `callback`; when it throws, logs the error and returns nullopt.
    template <typename F> static auto wrap(F&& callback) -> decltype(std::optional(callback()))
    {
        using Result = decltype(std::optional(callback()));
        try {
            return Result(callback());
        } catch (const std::exception& error) {
            logError(error);
        } catch (...) {
            logError(std::runtime_error("unknown error"));
        }
        return std::nullopt;
    }

    /// Logs "Error: <description> \n Stack Symbols: [...]" at error level.
    static void logError(const std::exception& error);

    ErrorHandler() = delete;
};

} // namespace tally
