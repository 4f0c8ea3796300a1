#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

/// Runs the Qt event loop until `done` holds or `timeout` passes; returns the last value of `done`.
/// Tests wait with this, never with a sleep.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));
/// Runs the Qt event loop for `duration`, handling every event that comes due.
void pumpFor(std::chrono::milliseconds duration);

} // namespace testsupport
