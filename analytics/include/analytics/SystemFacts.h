#pragma once

#include "platform/foundation/PlistValue.h"

#include <memory>
#include <optional>
#include <string>

namespace tally {

/// What the client reports about the machine, the operating system and the application. The
/// client asks the process-wide provider (current()); tests and the host replace it.
///
/// Implementations are called from the client's queues and must be thread-safe.
class SystemFacts {
public:
    struct ScreenSize {
        double width = 0;
        double height = 0;
    };

    virtual ~SystemFacts() = default;

    /// The main screen's size in device-independent pixels; nullopt without a screen.
    virtual std::optional<ScreenSize> mainScreenSize() const = 0;
    /// The operating system's name, e.g. "Debian GNU/Linux".
    virtual std::string operatingSystemName() const = 0;
    /// The operating system's version text, e.g. "12 (Linux 6.1.0-18-amd64)".
    virtual std::string operatingSystemVersion() const = 0;
    /// The machine's model, e.g. "x86_64".
    virtual std::string deviceModel() const = 0;
    /// The machine's maker, e.g. "LENOVO"; "Unknown" when it cannot be read.
    virtual std::string manufacturer() const = 0;
    /// The machine's serial number, when it can be read.
    virtual std::optional<std::string> serialNumber() const = 0;
    /// The application bundle's information dictionary, when it has one.
    virtual std::optional<foundation::PlistDictionary> infoDictionary() const = 0;
    /// The path of the application bundle.
    virtual std::string bundlePath() const = 0;

    /// The process's provider: the Linux one over the main bundle until replaced.
    static std::shared_ptr<const SystemFacts> current();
    /// Replaces the process's provider (nullptr restores the default); returns the previous one.
    static std::shared_ptr<const SystemFacts> setCurrent(std::shared_ptr<const SystemFacts> facts);
};

} // namespace tally
