#include "app/RealServices.h"

#include "Services/AudioPlayerService.h"
#include "platform/hid/Hid.h"
#include "platform/power/SysfsPowerSources.h"
#include "platform/registry/LidRegistry.h"
#include "platform/workspace/LinuxWorkspace.h"

#include <QApplication>
#include <QFileDialog>

#include <system_error>

ThwackoViewModel::Dependencies makeRealDependencies()
{
    ThwackoViewModel::Dependencies deps;
    deps.accelerometer = std::make_unique<AccelerometerService>(
        std::shared_ptr<hid::Backend>(hid::makeBackend(hid::backendConfigFromEnvironment())));
    deps.usbVolumeMonitor = std::make_unique<USBVolumeMonitor>(std::make_shared<workspace::LinuxWorkspace>());
    deps.powerSourceMonitor = std::make_unique<PowerSourceMonitor>(std::make_shared<power::SysfsPowerSources>());
    deps.lidClamshellMonitor = std::make_unique<LidClamshellMonitor>(std::make_shared<registry::AcpiLidRegistry>());
    deps.audioPlayer = std::make_unique<AudioPlayerService>();
    deps.clock = &foundation::SystemClock::shared();
    deps.userDefaults = &foundation::UserDefaults::standard();
    deps.bundle = &foundation::Bundle::main();
    deps.notificationCenter = &foundation::NotificationCenter::defaultCenter();
    deps.folderChooser = chooseFolderWithDialog;
    return deps;
}

ThwackoViewModel::FolderChoice chooseFolderWithDialog(const std::string& message)
{
    QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(message));
    dialog.setObjectName("folderChooser");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.size() != 1) {
        return {};
    }
    const std::filesystem::path folder = chosen.front().toStdString();
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        return {};
    }
    return {true, folder};
}
