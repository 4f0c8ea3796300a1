#include "support/FakeServices.h"

namespace testsupport {

FakeServices::FakeServices(const std::filesystem::path& defaultsFile, const foundation::Bundle& bundle)
    : defaults(defaultsFile)
    , bundle(bundle)
{
    sensor->services = {FakeHidService::sensor(1)};
}

bool FakeServices::feedSample(double x, double y, double z)
{
    const auto report = sensorReportG(x, y, z);
    for (int i = 0; i < AccelerometerService::imuDecimation; ++i) {
        if (!sensor->deliver(report)) {
            return false;
        }
    }
    return true;
}

bool FakeServices::feedKnock(double peak)
{
    for (int i = 0; i < 149; ++i) {
        if (!feedSample(0.0, 0.0, 1.0)) {
            return false;
        }
    }
    return feedSample(0.0, 0.0, peak);
}

ThwackoViewModel::Dependencies FakeServices::dependencies()
{
    ThwackoViewModel::Dependencies deps;
    deps.accelerometer = std::make_unique<AccelerometerService>(sensor);
    auto usb = std::make_unique<USBVolumeMonitor>(workspace);
    auto power = std::make_unique<PowerSourceMonitor>(powerSources);
    auto lidMonitorOwned = std::make_unique<LidClamshellMonitor>(lid, lidPollInterval);
    auto player = std::make_unique<RecordingClipPlayer>();
    usbMonitor = usb.get();
    powerMonitor = power.get();
    lidMonitor = lidMonitorOwned.get();
    audio = player.get();
    deps.usbVolumeMonitor = std::move(usb);
    deps.powerSourceMonitor = std::move(power);
    deps.lidClamshellMonitor = std::move(lidMonitorOwned);
    deps.audioPlayer = std::move(player);
    deps.clock = &clock;
    deps.userDefaults = &defaults;
    deps.bundle = &bundle;
    deps.notificationCenter = &center;
    deps.folderChooser = [this](const std::string& message) {
        chooserMessages.push_back(message);
        return choice;
    };
    return deps;
}

} // namespace testsupport
