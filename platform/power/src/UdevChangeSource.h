#pragma once

#include "platform/power/PowerSources.h"

namespace power {

/// A change source fed by udev's "power_supply" events, or nullptr when udev cannot be used
/// (the build has no libudev, or the monitor cannot be created).
std::unique_ptr<ChangeSource> makeUdevChangeSource(std::function<void()> onChange);

} // namespace power
