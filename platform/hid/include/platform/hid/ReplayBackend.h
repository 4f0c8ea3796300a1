#pragma once

#include "platform/hid/Hid.h"
#include "platform/hid/ReplayFile.h"

#include <filesystem>
#include <memory>

namespace hid {

/// Plays a recorded replay file as the sensor. When the file exists and parses it lists one
/// service of the sensor class (id 1) with the sensor's usage page and usage; otherwise none, so
/// the caller sees no sensor. The file is read again at every enumeration.
///
/// Each time a device is scheduled, playback starts at the first report and goes at the recorded
/// pace on the Qt event loop of the main thread. Reports are delivered in batches: every report
/// whose time has come, just before the main thread handles any other event, and every 10 ms
/// when nothing else wakes it; so a late batch catches up without drift (a stall longer than
/// 100 ms holds the playback clock instead of bursting). After the last report it starts over, one
/// recording's duration later. Reports longer than the registered buffer are cut to it.
/// setProperty() does nothing: the pace is the recording's. Main thread only.
class ReplayBackend final : public Backend {
public:
    /// Touches nothing until asked.
    explicit ReplayBackend(std::filesystem::path file);

    ReturnCode matchingServices(std::string_view className, std::vector<ServiceId>& services) override;
    std::optional<PropertyDictionary> properties(ServiceId service) override;
    std::unique_ptr<Device> createDevice(ServiceId service) override;

    static constexpr ServiceId kServiceId = 1;

private:
    std::shared_ptr<const Recording> load();

    std::filesystem::path file;
    std::shared_ptr<const Recording> recording; // from the last successful read
};

} // namespace hid
