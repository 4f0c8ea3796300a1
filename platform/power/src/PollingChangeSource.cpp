#include "PollingChangeSource.h"

namespace power {

PollingChangeSource::PollingChangeSource(std::function<std::optional<Snapshot>()> read,
                                         std::chrono::milliseconds interval, std::function<void()> onChange)
    : read(std::move(read))
    , onChange(std::move(onChange))
    , last(this->read())
{
    QObject::connect(&timer, &QTimer::timeout, [this] { check(); });
    timer.start(interval);
}

void PollingChangeSource::check()
{
    auto current = read();
    if (current == last) {
        return;
    }
    last = std::move(current);
    if (onChange) {
        onChange();
    }
}

} // namespace power
