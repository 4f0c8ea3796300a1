#include "platform/foundation/Bundle.h"
#include "platform/foundation/Uuid.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using foundation::Bundle;
using foundation::PlistValue;
using testsupport::TempDir;

TEST(Bundle, FindsResourcesFilesAndFoldersBelowASubdirectory)
{
    TempDir dir;
    dir.write("Audio/lid/open.mp3", "x");
    dir.mkdir("Audio/pain");
    const Bundle bundle(dir.path(), "/opt/thwacko");

    EXPECT_EQ(bundle.urlForResource("open", "mp3", "Audio/lid"), dir.path() / "Audio/lid/open.mp3");
    EXPECT_EQ(bundle.urlForResource("pain", "", "Audio"), dir.path() / "Audio/pain");
    EXPECT_EQ(bundle.urlForResource("close", "mp3", "Audio/lid"), std::nullopt);
    EXPECT_EQ(bundle.bundlePath(), "/opt/thwacko");
}

TEST(Bundle, WithoutAResourceFolderFindsNothing)
{
    const Bundle bundle(std::nullopt, "/opt/thwacko");
    EXPECT_EQ(bundle.urlForResource("open", "mp3", "Audio/lid"), std::nullopt);
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersion"), std::nullopt);
}

TEST(Bundle, ReadsTheInformationDictionary)
{
    TempDir dir;
    dir.write("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>CFBundleShortVersionString</key><string>1.2</string>
<key>BonklyTallyToken</key><integer>7</integer>
</dict></plist>)");
    const Bundle bundle(dir.path(), dir.path().string());

    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"), PlistValue("1.2"));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("BonklyTallyToken"), PlistValue(7));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersion"), std::nullopt);
}

TEST(Uuid, RandomIdsAreVersionFourAndDistinct)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const auto id = foundation::Uuid::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] >> 6, 2);
        seen.insert(id.toString());
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(foundation::Uuid().toString(), "00000000-0000-0000-0000-000000000000");
}

TEST(Bundle, ReadsTheInformationDictionaryOnceForConcurrentFirstCallers)
{
    TempDir dir;
    dir.write("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleVersion</key><string>42</string></dict></plist>)");
    const Bundle bundle(dir.path(), dir.path().string());

    std::vector<const std::optional<foundation::PlistDictionary>*> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&bundle, &seen, i] { seen[i] = &bundle.infoDictionary(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto* dictionary : seen) {
        EXPECT_EQ(dictionary, seen[0]);
    }
    ASSERT_TRUE(seen[0]->has_value());
    EXPECT_EQ((*seen[0])->at("CFBundleVersion"), PlistValue("42"));
}
