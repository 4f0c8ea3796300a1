#include "app/CommandLineHelp.h"

#include <string_view>

bool wantsHelp(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return true;
        }
        if (arg == "--sensor" || arg == "--sensor-replay") {
            ++i;
        }
    }
    return false;
}

std::string helpText(const char* argv0)
{
    std::string_view program = argv0 && *argv0 ? argv0 : "bonkly";
    if (const auto slash = program.rfind('/'); slash != std::string_view::npos) {
        program.remove_prefix(slash + 1);
    }
    std::string text = "Usage: ";
    text += program;
    text += R"( [OPTION]... [QT OPTION]...
Bonkly listens to the laptop's motion sensor and answers every slap with a sound
from the chosen sound pack. It runs in the system tray.

Options:
  --sensor auto|hidraw|iio|evdev|replay|none
                        the motion-sensor backend
                        (default: $THWACKO_SENSOR, else auto)
  --sensor-replay FILE  the recording that the replay backend plays
  --start-listening     start listening for slaps as soon as the application
                        has launched
  -h, --help            show this help and exit

All other arguments go to Qt (for instance -platform offscreen). Without a
graphical session, run it with QT_QPA_PLATFORM=offscreen.
)";
    return text;
}
