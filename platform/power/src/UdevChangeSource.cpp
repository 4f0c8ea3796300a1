#include "UdevChangeSource.h"

#include "platform/qt/FdWatch.h"

#include <libudev.h>
#include <optional>

namespace power {

namespace {

class UdevChangeSource final : public ChangeSource {
public:
    UdevChangeSource(udev* context, udev_monitor* monitor, std::function<void()> onChange)
        : context(context)
        , monitor(monitor)
        , onChange(std::move(onChange))
        , watch(std::in_place, udev_monitor_get_fd(monitor), platform::FdWatch::Condition::readable,
                [this] { drain(); })
    {
    }

    ~UdevChangeSource() override
    {
        watch.reset();
        udev_monitor_unref(monitor);
        udev_unref(context);
    }

private:
    // One wake-up may carry several queued events; they all mean "read again", so they are
    // reported once.
    void drain()
    {
        bool changed = false;
        while (udev_device* device = udev_monitor_receive_device(monitor)) {
            udev_device_unref(device);
            changed = true;
        }
        if (changed && onChange) {
            onChange();
        }
    }

    udev* context;
    udev_monitor* monitor;
    std::function<void()> onChange;
    std::optional<platform::FdWatch> watch; // goes before the monitor whose descriptor it watches
};

} // namespace

std::unique_ptr<ChangeSource> makeUdevChangeSource(std::function<void()> onChange)
{
    udev* context = udev_new();
    if (context == nullptr) {
        return nullptr;
    }
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr || udev_monitor_filter_add_match_subsystem_devtype(monitor, "power_supply", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0 || udev_monitor_get_fd(monitor) < 0) {
        if (monitor != nullptr) {
            udev_monitor_unref(monitor);
        }
        udev_unref(context);
        return nullptr;
    }
    return std::make_unique<UdevChangeSource>(context, monitor, std::move(onChange));
}

} // namespace power
