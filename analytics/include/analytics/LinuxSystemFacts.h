#pragma once

#include "analytics/SystemFacts.h"

#include "platform/foundation/Bundle.h"

#include <filesystem>
#include <mutex>

namespace tally {

/// The facts of a Linux machine: the operating system from `os-release` and `uname`, the model
/// from `uname`, maker and serial number from DMI (`/sys/class/dmi/id`, where readable), the
/// bundle's `Info.plist`; the screen size is whatever the host last set (none until then). Every
/// file path lies below `root`, so tests can point it at a fake tree.
class LinuxSystemFacts final : public SystemFacts {
public:
    explicit LinuxSystemFacts(const foundation::Bundle& bundle = foundation::Bundle::main(),
                              std::filesystem::path root = "/");

    /// Sets the main screen's size; called by the host, which knows the screens.
    void setMainScreenSize(std::optional<ScreenSize> size);

    std::optional<ScreenSize> mainScreenSize() const override;
    std::string operatingSystemName() const override;
    std::string operatingSystemVersion() const override;
    std::string deviceModel() const override;
    std::string manufacturer() const override;
    std::optional<std::string> serialNumber() const override;
    std::optional<foundation::PlistDictionary> infoDictionary() const override;
    std::string bundlePath() const override;

    /// The value of `key` in os-release text (quotes and escapes removed), or nullopt.
    static std::optional<std::string> osReleaseValue(const std::string& osRelease, const std::string& key);

private:
    std::string osRelease() const;
    std::optional<std::string> dmiValue(const char* name) const;

    foundation::Bundle bundle;
    std::filesystem::path root;
    mutable std::mutex lock;
    std::optional<ScreenSize> screen;
};

} // namespace tally
