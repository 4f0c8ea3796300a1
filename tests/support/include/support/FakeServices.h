#pragma once

#include "ViewModels/ThwackoViewModel.h"
#include "support/FakeClock.h"
#include "support/FakeHid.h"
#include "support/FakeSystemMonitors.h"
#include "support/RecordingClipPlayer.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

/// A view model's dependencies with a fake for everything this machine lacks: the sensor (one is
/// present), the mount notifications, the power supply, the lid, the sound card, the clock and
/// the folder dialog; real user defaults in `defaultsFile` and a private notification center.
/// Tests and views build a view model from dependencies() the way the application builds one
/// from its real services. Must outlive the view models built from it.
class FakeServices {
public:
    FakeServices(const std::filesystem::path& defaultsFile, const foundation::Bundle& bundle);
    FakeServices(const FakeServices&) = delete;
    FakeServices& operator=(const FakeServices&) = delete;

    /// Fresh services over the fakes below, for one view model; the pointers at the end follow them.
    ThwackoViewModel::Dependencies dependencies();
    /// One sample in g through the sensor, as the reports the accelerometer service decimates into
    /// one decoded sample; false when the sensor is not scheduled (then nothing more is delivered).
    bool feedSample(double x, double y, double z);
    /// 1.5 s of rest at 1 g, then one knock of `peak` g on the newest sample: one slap once the
    /// clock moves on and the view model takes the samples in; false as feedSample.
    bool feedKnock(double peak);

    std::shared_ptr<FakeHidBackend> sensor = std::make_shared<FakeHidBackend>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<FakePowerSources> powerSources = std::make_shared<FakePowerSources>();
    std::shared_ptr<FakeLidRegistry> lid = std::make_shared<FakeLidRegistry>();
    FakeClock clock;
    foundation::UserDefaults defaults;
    foundation::NotificationCenter center;
    /// The lid monitor's polling interval; long, so that no test depends on it firing.
    std::chrono::milliseconds lidPollInterval = std::chrono::hours(1);

    /// The folder dialog's answer, and the messages it was opened with.
    ThwackoViewModel::FolderChoice choice;
    std::vector<std::string> chooserMessages;

    // The services of the last dependencies(), owned by the view model built from them.
    RecordingClipPlayer* audio = nullptr;
    USBVolumeMonitor* usbMonitor = nullptr;
    PowerSourceMonitor* powerMonitor = nullptr;
    LidClamshellMonitor* lidMonitor = nullptr;

private:
    const foundation::Bundle& bundle;
};

} // namespace testsupport
