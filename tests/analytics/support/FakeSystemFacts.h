#pragma once

#include "analytics/SystemFacts.h"

#include <atomic>

namespace analyticstest {

/// Fixed facts; counts how often the operating system is asked, to show facts are gathered once.
class FakeSystemFacts final : public tally::SystemFacts {
public:
    std::optional<ScreenSize> screen = ScreenSize{1440, 900};
    std::optional<foundation::PlistDictionary> info =
        foundation::PlistDictionary{{"CFBundleVersion", "7"}, {"CFBundleShortVersionString", "1.2"}};
    std::optional<std::string> serial;
    std::string path = "/opt/ThwackoApp";
    mutable std::atomic<int> operatingSystemQuestions{0};

    std::optional<ScreenSize> mainScreenSize() const override { return screen; }
    std::string operatingSystemName() const override
    {
        ++operatingSystemQuestions;
        return "Debian GNU/Linux";
    }
    std::string operatingSystemVersion() const override { return "12 (Linux 6.1.0)"; }
    std::string deviceModel() const override { return "x86_64"; }
    std::string manufacturer() const override { return "LENOVO"; }
    std::optional<std::string> serialNumber() const override { return serial; }
    std::optional<foundation::PlistDictionary> infoDictionary() const override { return info; }
    std::string bundlePath() const override { return path; }
};

} // namespace analyticstest
