#include "Services/LidClamshellMonitor.h"

#include <variant>

LidClamshellMonitor::LidClamshellMonitor(std::shared_ptr<registry::LidRegistry> registry,
                                         std::chrono::milliseconds interval)
    : registry(std::move(registry))
{
    timer.setInterval(interval);
    QObject::connect(&timer, &QTimer::timeout, [weak = std::weak_ptr(self)] {
        if (const auto monitor = weak.lock()) {
            (*monitor)->poll();
        }
    });
}

LidClamshellMonitor::~LidClamshellMonitor() { stop(); }

void LidClamshellMonitor::start()
{
    if (isStarted) {
        return;
    }
    isStarted = true;
    lastLidClosed = readLidClosed();
    timer.start();
}

void LidClamshellMonitor::stop()
{
    if (!isStarted) {
        return;
    }
    isStarted = false;
    timer.stop();
    lastLidClosed.reset();
}

void LidClamshellMonitor::poll()
{
    if (!isStarted) {
        return;
    }
    handlePollResult(readLidClosed());
}

void LidClamshellMonitor::handlePollResult(std::optional<bool> lidClosed)
{
    if (!isStarted || !lidClosed) {
        return;
    }
    if (!lastLidClosed) {
        lastLidClosed = lidClosed;
        return;
    }
    if (*lidClosed == *lastLidClosed) {
        return;
    }
    lastLidClosed = lidClosed;
    if (onTransition) {
        onTransition(*lidClosed ? LidTransition::closed : LidTransition::opened);
    }
}

std::optional<bool> LidClamshellMonitor::readLidClosed() const
{
    const std::optional<registry::PropertyValue> state = registry->clamshellState();
    if (!state) {
        return std::nullopt;
    }
    if (const auto* value = std::get_if<bool>(&*state)) {
        return *value;
    }
    if (const auto* value = std::get_if<std::int64_t>(&*state)) {
        return *value != 0;
    }
    if (const auto* value = std::get_if<double>(&*state)) {
        return *value != 0.0;
    }
    return std::nullopt;
}
