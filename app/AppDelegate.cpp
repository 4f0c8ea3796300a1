#include "app/AppDelegate.h"

namespace {

std::string infoString(const foundation::Bundle& bundle, const char* key)
{
    const auto value = bundle.objectForInfoDictionaryKey(key);
    if (!value) {
        return {};
    }
    const auto* text = value->get<std::string>();
    return text ? *text : std::string();
}

} // namespace

AnalyticsProperties AppDelegate::launchProperties(const foundation::Bundle& bundle)
{
    return {{"app_version", infoString(bundle, "CFBundleShortVersionString")},
            {"build", infoString(bundle, "CFBundleVersion")}};
}

void AppDelegate::applicationDidFinishLaunching(const foundation::Bundle& bundle)
{
    // A tray application has no dock entry to hide on Linux: the tray icon is its only presence
    // besides its window, so the activation policy needs no counterpart here.
    Analytics::configure(bundle);
    Analytics::track("slap_app_launched", launchProperties(bundle));
}
