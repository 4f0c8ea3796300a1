#pragma once

#include "platform/power/PowerSources.h"

#include <QTimer>
#include <chrono>

namespace power {

/// Reads the sources every `interval` on the main event loop and calls `onChange` when the
/// snapshot differs from the previous one. The first snapshot is taken at construction.
class PollingChangeSource final : public ChangeSource {
public:
    PollingChangeSource(std::function<std::optional<Snapshot>()> read, std::chrono::milliseconds interval,
                        std::function<void()> onChange);

private:
    void check();

    std::function<std::optional<Snapshot>()> read;
    std::function<void()> onChange;
    std::optional<Snapshot> last;
    QTimer timer;
};

} // namespace power
