#include "analytics/TLAssert.h"

#include "analytics/TallyLogger.h"

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace tally {

namespace {

std::mutex& handlerLock()
{
    static std::mutex lock;
    return lock;
}

AssertionHandler& currentHandler()
{
    static AssertionHandler handler = Assertions::swiftAssertClosure();
    return handler;
}

} // namespace

AssertionHandler Assertions::assertClosure()
{
    const std::lock_guard lock(handlerLock());
    return currentHandler();
}

void Assertions::setAssertClosure(AssertionHandler handler)
{
    const std::lock_guard lock(handlerLock());
    currentHandler() = handler ? std::move(handler) : swiftAssertClosure();
}

const AssertionHandler& Assertions::swiftAssertClosure()
{
    static const AssertionHandler handler =
        [](bool condition, const std::string& message, const char* file, unsigned line) {
#ifndef NDEBUG
        if (!condition) {
            std::fprintf(stderr, "Assertion failed: %s: file %s, line %u\n", message.c_str(), file ? file : "", line);
        }
#else
        (void)condition;
        (void)message;
        (void)file;
        (void)line;
#endif
    };
    return handler;
}

void TLAssert(const std::function<bool()>& condition, const std::function<std::string()>& message, const char* file,
              unsigned line)
{
    const AssertionHandler handler = Assertions::assertClosure();
    const bool holds = condition ? condition() : false;
    const std::string text = message ? message() : std::string();
    if (handler) {
        handler(holds, text, file, line);
    }
}

void ErrorHandler::logError(const std::exception& error)
{
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count), &std::free);
    std::string list = "[";
    for (int i = 0; symbols && i < count; ++i) {
        list += (i ? ", \"" : "\"") + std::string(symbols.get()[i]) + "\"";
    }
    list += "]";
    const std::string description = error.what();
    TallyLogger::error([&] { return "Error: " + description + " \n Stack Symbols: " + list; }, __FILE__,
                       "logError(_:)");
}

} // namespace tally
