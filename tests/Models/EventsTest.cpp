#include "Models/Events.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

namespace {

const foundation::Date when(1700000000.5);

TEST(Events, RecordsBuiltAlikeHaveDistinctIds)
{
    const SlapEvent slapA(when, 3, 0.02, "VIBRATION", "01.mp3");
    const SlapEvent slapB(when, 3, 0.02, "VIBRATION", "01.mp3");
    const VolumeMountEvent volumeA(when, true, "USB", "/media/usb", true, true);
    const VolumeMountEvent volumeB(when, true, "USB", "/media/usb", true, true);
    const PowerSourceEvent powerA(when, "Charging", std::string("80%"));
    const PowerSourceEvent powerB(when, "Charging", std::string("80%"));
    const LidCreakEvent lidA(when, true);
    const LidCreakEvent lidB(when, true);

    const std::set<std::string> ids{slapA.id().toString(),   slapB.id().toString(),  volumeA.id().toString(),
                                    volumeB.id().toString(), powerA.id().toString(), powerB.id().toString(),
                                    lidA.id().toString(),    lidB.id().toString()};
    EXPECT_EQ(ids.size(), 8u);
    EXPECT_EQ(slapA.id().bytes()[6] >> 4, 4); // version 4
    EXPECT_NE(slapA.id(), foundation::Uuid());
}

TEST(Events, CopiesKeepTheirIdAndFields)
{
    const SlapEvent slap(when, 7, 0.031, "MICRO_CHOC", "clip.mp3");
    const SlapEvent slapCopy = slap;
    EXPECT_EQ(slapCopy.id(), slap.id());
    EXPECT_EQ(slapCopy.timestamp(), when);
    EXPECT_EQ(slapCopy.number(), 7);
    EXPECT_EQ(slapCopy.amplitude(), 0.031);
    EXPECT_EQ(slapCopy.severity(), "MICRO_CHOC");
    EXPECT_EQ(slapCopy.fileName(), "clip.mp3");

    const VolumeMountEvent volume(when, false, "Stick", "/media/stick", false, true);
    const VolumeMountEvent volumeCopy = volume;
    EXPECT_EQ(volumeCopy.id(), volume.id());
    EXPECT_FALSE(volumeCopy.mounted());
    EXPECT_EQ(volumeCopy.volumeName(), "Stick");
    EXPECT_EQ(volumeCopy.path(), "/media/stick");
    EXPECT_FALSE(volumeCopy.isRemovable());
    EXPECT_TRUE(volumeCopy.isEjectable());

    const PowerSourceEvent power(when, "On battery power", std::string("42%"));
    const PowerSourceEvent powerCopy = power;
    EXPECT_EQ(powerCopy.id(), power.id());
    EXPECT_EQ(powerCopy.title(), "On battery power");
    EXPECT_EQ(powerCopy.detail(), std::optional<std::string>("42%"));

    const LidCreakEvent lid(when, false);
    const LidCreakEvent lidCopy = lid;
    EXPECT_EQ(lidCopy.id(), lid.id());
    EXPECT_FALSE(lidCopy.opened());

    const VibrationEvent vibration(when, "CHOC_MAJEUR", "\u2605", "MAJOR", 0.07, {"PEAK", "CUSUM"});
    const VibrationEvent vibrationCopy = vibration;
    EXPECT_EQ(vibrationCopy.time(), when);
    EXPECT_EQ(vibrationCopy.severity(), "CHOC_MAJEUR");
    EXPECT_EQ(vibrationCopy.symbol(), "\u2605");
    EXPECT_EQ(vibrationCopy.label(), "MAJOR");
    EXPECT_EQ(vibrationCopy.amplitude(), 0.07);
    EXPECT_EQ(vibrationCopy.sources(), (std::vector<std::string>{"PEAK", "CUSUM"}));
}

TEST(Events, AbsentPowerDetailIsNotAnEmptyString)
{
    const PowerSourceEvent unknown(when, "Adapter connected", std::nullopt);
    const PowerSourceEvent empty(when, "Adapter connected", std::string());
    EXPECT_FALSE(unknown.detail().has_value());
    ASSERT_TRUE(empty.detail().has_value());
    EXPECT_EQ(*empty.detail(), "");
}

} // namespace
