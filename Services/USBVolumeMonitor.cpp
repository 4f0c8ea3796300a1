#include "Services/USBVolumeMonitor.h"

#include <QString>
#include <any>
#include <filesystem>

namespace {

// The path as a file URL gives it: no trailing separator, except for the root itself.
std::filesystem::path withoutTrailingSeparator(std::filesystem::path path)
{
    std::string text = path.generic_string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

} // namespace

USBVolumeMonitor::USBVolumeMonitor(std::shared_ptr<workspace::Workspace> workspace)
    : workspace(std::move(workspace))
{
}

USBVolumeMonitor::~USBVolumeMonitor() { stop(); }

void USBVolumeMonitor::start()
{
    stop();
    foundation::NotificationCenter& center = workspace->notificationCenter();
    for (const bool mounted : {true, false}) {
        const char* name = mounted ? workspace::kDidMountNotification : workspace::kDidUnmountNotification;
        observers.push_back(
            center.addObserver(name, [weak = std::weak_ptr(self), mounted](const foundation::Notification& note) {
                if (const auto monitor = weak.lock()) {
                    (*monitor)->handleNotification(note, mounted);
                }
            }));
    }
}

void USBVolumeMonitor::stop()
{
    if (observers.empty()) {
        return;
    }
    foundation::NotificationCenter& center = workspace->notificationCenter();
    for (const auto token : observers) {
        center.removeObserver(token);
    }
    observers.clear();
}

void USBVolumeMonitor::handleNotification(const foundation::Notification& notification, bool mounted)
{
    const auto entry = notification.userInfo.find(workspace::kVolumeURLKey);
    if (entry == notification.userInfo.end()) {
        return;
    }
    const auto* url = std::any_cast<std::filesystem::path>(&entry->second);
    if (url == nullptr) {
        return;
    }
    const std::filesystem::path path = withoutTrailingSeparator(*url);

    const workspace::VolumeResourceValues values =
        workspace->resourceValues(path).value_or(workspace::VolumeResourceValues{});
    const bool isRemovable = values.isRemovable.value_or(false);
    const bool isEjectable = values.isEjectable.value_or(false);
    if (!isRemovable && !isEjectable) {
        return;
    }

    // QString::trimmed() strips the Unicode white space and line breaks.
    std::string name = QString::fromStdString(values.name.value_or(std::string())).trimmed().toStdString();
    if (name.empty()) {
        name = path == "/" ? std::string("/") : path.filename().string();
    }
    const VolumeMountEvent event(foundation::Date::now(), mounted, name, path.string(), isRemovable, isEjectable);
    if (onEvent) {
        onEvent(event);
    }
}
