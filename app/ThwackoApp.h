#pragma once

#include "ViewModels/ThwackoViewModel.h"
#include "app/AppDelegate.h"

#include <memory>

/// The application object: one app delegate and the one view model, built on first use and
/// kept for the life of the process. Used on the main thread.
class ThwackoApp {
public:
    ThwackoApp() = default;
    ThwackoApp(const ThwackoApp&) = delete;
    ThwackoApp& operator=(const ThwackoApp&) = delete;

    /// The application's main routine: builds the Qt application and the application object and
    /// runs the event loop until the application quits (its menu, SIGINT or SIGTERM).
    ///
    /// Options of our own (everything else goes to Qt):
    ///   --sensor <auto|hidraw|iio|evdev|replay|none>  the sensor backend (else $THWACKO_SENSOR)
    ///   --sensor-replay <file>                  the recording the replay backend plays
    ///   --start-listening                       start listening once launched
    static int main(int argc, char** argv);

    AppDelegate& appDelegate() { return delegate; }
    /// The view model, constructed by the first call.
    ThwackoViewModel& viewModel();

private:
    AppDelegate delegate;
    std::unique_ptr<ThwackoViewModel> model;
};
