// The sensor check: a sensor this user may read, none, or one it may not read, decided without
// opening anything; and what start() reports in each case.
#include "Services/AccelerometerService.h"
#include "platform/hid/Hid.h"
#include "support/FakeHid.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::FakeHidBackend;
using testsupport::FakeHidService;

namespace {

const char* const kNotFound = "Accelerometer not found. Make sure this laptop has a motion sensor.";

FakeHidService withAccess(FakeHidService service, bool listed, bool unreadable, hid::ReturnCode openResult = 0)
{
    service.listed = listed;
    service.unreadable = unreadable;
    service.openResult = openResult;
    return service;
}

struct SensorCheckCase {
    const char* name;
    std::vector<FakeHidService> services;
    SensorAvailability availability;
    const char* error;                   // what start() reports, or nullptr when it starts
    std::vector<hid::ServiceId> created; // which services start() created a device for
};

const char* const kUnreadable = "Cannot open accelerometer (code: 0xfffffff3). This user may not read the motion "
                                "sensor; the udev rules file 70-thwacko-sensors.rules grants access.";

const SensorCheckCase kSensorChecks[] = {
    {"NoSensor", {}, SensorAvailability::notFound, kNotFound, {}},
    {"Readable", {FakeHidService::sensor(1)}, SensorAvailability::available, nullptr, {1}},
    // The automatic choice leaves a sensor this user may not read out of its list: nothing is opened.
    {"LeftOutUnreadable",
     {withAccess(FakeHidService::sensor(1), false, true)},
     SensorAvailability::notReadable,
     kUnreadable,
     {}},
    // A named backend lists it: the open call is made and its own code reported.
    {"ListedUnreadable",
     {withAccess(FakeHidService::sensor(1), true, true, -13)},
     SensorAvailability::notReadable,
     kUnreadable,
     {1}},
    {"UnreadableBesideAReadableOne",
     {withAccess(FakeHidService::sensor(1), false, true), FakeHidService::sensor(2)},
     SensorAvailability::available,
     nullptr,
     {2}},
    {"ListedUnreadableBeforeAReadableOne",
     {withAccess(FakeHidService::sensor(1), true, true, -13), FakeHidService::sensor(2)},
     SensorAvailability::available,
     nullptr,
     {2}},
    {"UnreadableDeviceThatIsNoSensor",
     {withAccess({1,
                  hid::PropertyDictionary{{hid::kPrimaryUsagePageKey, std::int64_t{0xFF01}},
                                          {hid::kPrimaryUsageKey, std::int64_t{3}}},
                  false, 0},
                 false, true)},
     SensorAvailability::notFound,
     kNotFound,
     {}},
};

class AccelerometerSensorCheck : public ::testing::TestWithParam<SensorCheckCase> {};

TEST_P(AccelerometerSensorCheck, TellsFoundFromReadableAndStartsAccordingly)
{
    const auto& param = GetParam();
    auto backend = std::make_shared<FakeHidBackend>();
    backend->services = param.services;
    AccelerometerService service(backend);
    std::vector<std::string> errors;
    service.setOnError([&](const AccelerometerError& e) { errors.push_back(e.errorDescription()); });

    EXPECT_EQ(service.availability(), param.availability);
    EXPECT_EQ(service.isAvailable(), param.availability == SensorAvailability::available);
    EXPECT_TRUE(backend->created.empty()); // the check opens nothing

    service.start();
    EXPECT_EQ(errors, param.error ? std::vector<std::string>{param.error} : std::vector<std::string>{});
    EXPECT_EQ(service.isStarted(), param.error == nullptr);
    EXPECT_EQ(backend->created, param.created);
    service.stop();
}

INSTANTIATE_TEST_SUITE_P(All, AccelerometerSensorCheck, ::testing::ValuesIn(kSensorChecks),
                         [](const auto& info) { return std::string(info.param.name); });

// The sensor check on real device files: which sensors the automatic choice may read is decided
// by their permissions, as the user who runs the application meets them.
struct PermissionCase {
    const char* name;
    bool unreadableHidraw;  // the vendor HID sensor, root's only
    bool unreadableInput;   // an input-device accelerometer, root's only
    bool readablePolledIio; // an IIO accelerometer whose raw files anyone may read
    bool unreadableBuffer;  // an IIO accelerometer with only a buffer, root's only
    const char* expected;   // availability, then what start() reports
};

const PermissionCase kPermissionCases[] = {
    {"Nothing", false, false, false, false,
     "notFound|Accelerometer not found. Make sure this laptop has a motion sensor."},
    {"OnlyUnreadable", true, true, false, false,
     "notReadable|Cannot open accelerometer (code: 0xfffffff3). This user may not read the motion sensor; the udev "
     "rules file 70-thwacko-sensors.rules grants access."},
    {"OnlyAnUnreadableIioBuffer", false, false, false, true,
     "notReadable|Cannot open accelerometer (code: 0xfffffff3). This user may not read the motion sensor; the udev "
     "rules file 70-thwacko-sensors.rules grants access."},
    {"UnreadableAndAReadableOne", true, true, true, true, "available|started"},
};

class AccelerometerPermissions : public ::testing::TestWithParam<PermissionCase> {};

TEST_P(AccelerometerPermissions, TheAutomaticChoiceTellsAnUnreadableSensorFromNone)
{
    const auto& param = GetParam();
    testsupport::TempDir root;
    ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
    root.mkdir("dev/input");
    if (param.unreadableHidraw) {
        root.write("sys/class/hidraw/hidraw0/device/report_descriptor",
                   std::string("\x06\x00\xFF\x09\x03\xA1\x01\x75\x08\x95\x16\x81\x02\xC0", 14));
        ASSERT_EQ(::mkfifo((root.path() / "dev/hidraw0").c_str(), 0600), 0);
    }
    if (param.unreadableInput) {
        const auto input = root.mkdir("sys/class/input/event1/device");
        root.write(input / "name", "input accelerometer\n");
        root.write(input / "properties", "40\n");
        root.write(input / "capabilities/abs", "7\n");
        ASSERT_EQ(::mkfifo((root.path() / "dev/input/event1").c_str(), 0600), 0);
    }
    if (param.readablePolledIio) {
        const auto iio = root.mkdir("sys/bus/iio/devices/iio:device2");
        root.write(iio / "in_accel_scale", "0.01\n");
        for (const char* axis : {"x", "y", "z"}) {
            root.write(iio / (std::string("in_accel_") + axis + "_raw"), "0\n");
        }
    }
    if (param.unreadableBuffer) {
        const auto iio = root.mkdir("sys/bus/iio/devices/iio:device3");
        root.write(iio / "in_accel_scale", "0.01\n");
        for (const char* axis : {"x", "y", "z"}) {
            root.write(iio / "scan_elements" / (std::string("in_accel_") + axis + "_en"), "0\n");
        }
        root.write(iio / "buffer/enable", "0\n");
        ASSERT_EQ(::mkfifo((root.path() / "dev/iio:device3").c_str(), 0600), 0);
    }
    if (::geteuid() != 0) {
        for (const char* node : {"dev/hidraw0", "dev/input/event1", "dev/iio:device3"}) {
            ::chmod((root.path() / node).c_str(), 0);
        }
    }

    const std::string out = testsupport::asUnprivilegedUser([&] {
        AccelerometerService service(hid::makeBackend({hid::BackendKind::Automatic, root.path().string(), ""}));
        const SensorAvailability availability = service.availability();
        std::string result = availability == SensorAvailability::available  ? "available"
                             : availability == SensorAvailability::notFound ? "notFound"
                                                                            : "notReadable";
        std::string error;
        service.setOnError([&](const AccelerometerError& e) { error = e.errorDescription(); });
        service.start();
        result += "|" + (service.isStarted() ? std::string("started") : error);
        service.stop();
        return result;
    });
    EXPECT_EQ(out, param.expected);
}

INSTANTIATE_TEST_SUITE_P(All, AccelerometerPermissions, ::testing::ValuesIn(kPermissionCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
