#include "platform/audio/OutputSetup.h"

#include "platform/foundation/DurableFile.h"
#include "platform/foundation/Paths.h"

#include <QLoggingCategory>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace audio {

namespace {

Q_LOGGING_CATEGORY(lcAudio, "thwacko.audio")

// The mixer's update: 128 frames (2.9 ms at 44.1 kHz) in 2 periods. OpenAL Soft 1.19 ignores the
// context's ALC_REFRESH attribute on a playback device.
constexpr int kPeriodFrames = 128;
constexpr int kPeriods = 2;

std::string configurationText()
{
    return "# ThwackoApp's: a small mixer update, so that sounds start quickly. Changes are undone at its next start.\n"
           "[general]\n"
           "period_size = " +
           std::to_string(kPeriodFrames) + "\nperiods = " + std::to_string(kPeriods) + "\n";
}

bool holds(const std::filesystem::path& file, const std::string& text)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    const std::string contents{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return contents == text;
}

// PipeWire's PulseAudio server holds at least three of its smallest requests (5.3 ms by default)
// in a stream's buffer, whatever the client asks, and runs its graph no faster than that; these
// client properties lower that floor for this application alone (a PulseAudio server ignores them).
std::string serverRequest()
{
    const std::string frames = std::to_string(kPeriodFrames) + "/48000";
    return "pulse.min.req=" + frames + " pulse.min.quantum=" + frames;
}

bool askServer()
{
    const char* theirs = std::getenv("PULSE_PROP");
    if (theirs != nullptr && std::string(theirs).find("pulse.min.") != std::string::npos) {
        return false;
    }
    const std::string properties =
        theirs != nullptr && *theirs != '\0' ? std::string(theirs) + " " + serverRequest() : serverRequest();
    ::setenv("PULSE_PROP", properties.c_str(), 1);
    return true;
}

} // namespace

std::filesystem::path outputConfigurationPath() { return foundation::cachesFolder() / "ThwackoApp" / "openal.conf"; }

OutputSetup prepareOutput()
{
    OutputSetup setup;
    setup.serverAsked = askServer();
    const std::filesystem::path ours = outputConfigurationPath();
    // OpenAL Soft takes an empty ALSOFT_CONF for none.
    if (const char* named = std::getenv("ALSOFT_CONF"); named != nullptr && *named != '\0') {
        setup.configuration = named;
        setup.usersOwn = setup.configuration != ours;
        return setup;
    }
    const std::string text = configurationText();
    std::string why;
    // Rewritten only when it differs: most starts then cost one small read and no disk write.
    if (!holds(ours, text) && !foundation::writeFileDurably(ours, text, foundation::FileAccess::Default, why)) {
        setup.warning = "cannot configure the sound output's update size (" + why +
                        "); playing with OpenAL's own, which may delay sounds";
        qCWarning(lcAudio).noquote() << QString::fromStdString(setup.warning);
        return setup;
    }
    ::setenv("ALSOFT_CONF", ours.c_str(), 1);
    setup.configuration = ours;
    return setup;
}

} // namespace audio
