// The application's real dependencies for the view model, and its folder dialog driven as a user
// would: offscreen, with a real widget application.
#include "app/RealServices.h"

#include "platform/qt/QtMainQueue.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QTimer>

#include <cstdlib>
#include <functional>

namespace {

/// Runs `act` on the folder dialog as soon as it is open (from the dialog's own event loop).
void whenTheDialogOpens(std::function<void(QFileDialog&)> act)
{
    auto* poll = new QTimer(qApp);
    poll->setInterval(0);
    QObject::connect(poll, &QTimer::timeout, [poll, act = std::move(act)] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(*dialog);
        }
    });
    poll->start();
}

struct ChooserCase {
    const char* name;
    std::function<void(QFileDialog&, const std::filesystem::path& folder)> act;
    bool accepted;
};

const ChooserCase kChooserCases[] =
    {
        {"AnExistingFolderIsTaken",
         [](QFileDialog& dialog, const std::filesystem::path& folder) {
    dialog.selectFile(QString::fromStdString(folder.string()));
    static_cast<QDialog&>(dialog).accept(); // as the Open button does
         },
         true},
        {"CancelChangesNothing",
         [](QFileDialog& dialog, const std::filesystem::path& folder) {
    dialog.selectFile(QString::fromStdString(folder.string()));
    dialog.reject();
         },
         false},
                  };

class FolderDialog : public ::testing::TestWithParam<ChooserCase> {};

} // namespace

TEST_P(FolderDialog, OffersSingleFoldersUnderTheMessage)
{
    testsupport::TempDir dir;
    const auto folder = dir.mkdir("clips");
    dir.write("clips/one.mp3", "");
    QString title;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    bool dirsOnly = false;
    whenTheDialogOpens([&](QFileDialog& dialog) {
        title = dialog.windowTitle();
        mode = dialog.fileMode();
        dirsOnly = dialog.testOption(QFileDialog::ShowDirsOnly);
        GetParam().act(dialog, folder);
    });

    const auto choice = chooseFolderWithDialog("Select a directory containing MP3 files");

    EXPECT_EQ(title, "Select a directory containing MP3 files");
    EXPECT_EQ(mode, QFileDialog::Directory); // folders only, one at a time
    EXPECT_TRUE(dirsOnly);
    EXPECT_EQ(choice.accepted, GetParam().accepted);
    if (GetParam().accepted) {
        ASSERT_TRUE(choice.folder);
        EXPECT_EQ(std::filesystem::canonical(*choice.folder), std::filesystem::canonical(folder));
    } else {
        EXPECT_FALSE(choice.folder);
    }
}

INSTANTIATE_TEST_SUITE_P(All, FolderDialog, ::testing::ValuesIn(kChooserCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RealServices, BuildAViewModelWhoseBrowseOpensTheDialog)
{
    ::setenv("THWACKO_SENSOR", "none", 1);
    QObject context;
    platform::ScopedQtMainQueue mainQueue(&context);
    testsupport::TempDir dir;
    const auto folder = dir.mkdir("clips");

    ThwackoViewModel vm(makeRealDependencies());
    EXPECT_FALSE(vm.accelerometer().isAvailable());

    whenTheDialogOpens([&](QFileDialog& dialog) {
        dialog.selectFile(QString::fromStdString(folder.string()));
        static_cast<QDialog&>(dialog).accept();
    });
    vm.selectCustomDirectory();
    ASSERT_TRUE(vm.customDirectory());
    EXPECT_EQ(std::filesystem::canonical(*vm.customDirectory()), std::filesystem::canonical(folder));
}
