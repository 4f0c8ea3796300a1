#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

/// Runs the Qt event loop until `done` holds or `timeout` passes; returns the last value of `done`.
/// Tests wait with this, never with a sleep.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));
/// Runs the Qt event loop for `duration`, handling every event that comes due.
void pumpFor(std::chrono::milliseconds duration);
/// Handles the events posted so far and those their handlers post, a few rounds deep (the main
/// queue's jobs, then a coalesced change signal), without waiting for any timer.
void drainPosted();

} // namespace testsupport
