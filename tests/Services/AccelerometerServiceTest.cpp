#include "Services/AccelerometerService.h"
#include "platform/hid/Hid.h"
#include "platform/hid/HidrawBackend.h"
#include "support/EventLoop.h"
#include "support/FakeHid.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

using testsupport::FakeHidBackend;
using testsupport::FakeHidService;
using testsupport::sensorReport;

namespace {

struct Sample {
    double x, y, z;
};

class AccelerometerServiceTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeHidBackend> backend = std::make_shared<FakeHidBackend>();
    AccelerometerService service{backend};
    std::vector<Sample> samples;
    std::vector<std::string> errors;
    std::vector<std::int32_t> errorCodes;
    int readyCalls = 0;

    void installHandlers()
    {
        service.setOnSample([this](double x, double y, double z) { samples.push_back({x, y, z}); });
        service.setOnError([this](const AccelerometerError& error) {
            errors.push_back(error.errorDescription());
            errorCodes.push_back(error.code());
        });
        service.setOnReady([this] { ++readyCalls; });
    }

    void startWithSensor()
    {
        backend->services = {FakeHidService::sensor(1)};
        installHandlers();
        service.start();
        ASSERT_TRUE(service.isStarted());
    }

    void deliver(int count, std::size_t length = 22, std::int32_t x = 0)
    {
        std::vector<std::uint8_t> report(length, 0);
        if (length >= 22) {
            const auto bytes = sensorReport(x, 0, 0);
            std::copy(bytes.begin(), bytes.end(), report.begin());
        }
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(backend->deliver(report));
        }
    }
};

} // namespace

TEST(AccelerometerReport, DecodesLittleEndianSignedAxesInG)
{
    // x = 00 00 01 00, y = 00 00 FF FF, z = 00 80 00 00
    std::uint8_t report[22] = {};
    const std::uint8_t axes[12] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0x00, 0x00};
    std::copy(std::begin(axes), std::end(axes), report + 6);
    EXPECT_EQ(AccelerometerService::decodeAxis(report, 6), 1.0);
    EXPECT_EQ(AccelerometerService::decodeAxis(report, 10), -1.0);
    EXPECT_EQ(AccelerometerService::decodeAxis(report, 14), 0.5);

    const std::uint8_t minusOneUnit[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    std::copy(std::begin(minusOneUnit), std::end(minusOneUnit), report + 6);
    EXPECT_EQ(AccelerometerService::decodeAxis(report, 6), -1.0 / 65536.0);
}

TEST(AccelerometerError, Descriptions)
{
    EXPECT_EQ(AccelerometerError::deviceNotFound().errorDescription(),
              "Accelerometer not found. Make sure this laptop has a motion sensor.");
    const std::tuple<std::int32_t, const char*> cases[] = {
        {-1, "Cannot open accelerometer (code: 0xffffffff)."},
        {-13, "Cannot open accelerometer (code: 0xfffffff3). This user may not read the motion sensor; the udev "
              "rules file 70-thwacko-sensors.rules grants access."},
        {-16, "Cannot open accelerometer (code: 0xfffffff0)."},
        {0x2c5, "Cannot open accelerometer (code: 0x2c5)."},
        {static_cast<std::int32_t>(0xE00002C5), "Cannot open accelerometer (code: 0xe00002c5)."},
    };
    for (const auto& [code, text] : cases) {
        EXPECT_EQ(AccelerometerError::cannotOpen(code).errorDescription(), text) << code;
        EXPECT_EQ(AccelerometerError::cannotOpen(code).code(), code);
    }
}

TEST(AccelerometerError, ALostDeviceDescribesItselfWithItsCode)
{
    const AccelerometerError lost = AccelerometerError::deviceLost(-19);
    EXPECT_TRUE(lost.isDeviceLost());
    EXPECT_FALSE(lost.isDeviceNotFound());
    EXPECT_EQ(lost.code(), -19);
    EXPECT_EQ(lost.errorDescription(), "Lost the accelerometer (code: 0xffffffed).");
}

TEST_F(AccelerometerServiceTest, StartConfiguresSchedulesAndReportsReady)
{
    startWithSensor();
    const auto* device = backend->lastDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->opens, 1);
    const std::vector<std::pair<std::string, std::int64_t>> expected = {
        {"ReportInterval", 1000}, {"SensorPropertyReportingState", 1}, {"SensorPropertyPowerState", 1}};
    EXPECT_EQ(device->properties, expected);
    EXPECT_EQ(device->bufferLength, 256u);
    EXPECT_NE(device->buffer, nullptr);
    EXPECT_EQ(device->context, &service);
    EXPECT_TRUE(device->scheduled);
    EXPECT_EQ(readyCalls, 1);
    EXPECT_TRUE(errors.empty());
}

TEST_F(AccelerometerServiceTest, DecodesOneCountedReportInEight)
{
    startWithSensor();
    deliver(7, 22, 65536);
    EXPECT_TRUE(samples.empty());
    deliver(1, 22, 65536);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].x, 1.0);
    deliver(8);
    EXPECT_EQ(samples.size(), 2u);
}

TEST_F(AccelerometerServiceTest, ReportsOfOtherLengthsAreNotCounted)
{
    startWithSensor();
    deliver(7, 22, 0);
    deliver(3, 23);
    deliver(2, 21);
    EXPECT_TRUE(samples.empty());
    deliver(1, 22, 32768);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].x, 0.5); // decoded from the last report
}

TEST_F(AccelerometerServiceTest, ReportsWithoutAHandlerOrAfterDisableAreNotCounted)
{
    startWithSensor();
    service.setOnSample(nullptr);
    deliver(7);
    installHandlers();
    deliver(7);
    EXPECT_TRUE(samples.empty());
    deliver(1);
    EXPECT_EQ(samples.size(), 1u);

    service.disableCallbacks();
    EXPECT_FALSE(service.onSample());
    EXPECT_FALSE(service.onError());
    EXPECT_FALSE(service.onReady());
    deliver(16);
    EXPECT_EQ(samples.size(), 1u);
    // Muted until stop(): new handlers receive nothing either.
    installHandlers();
    deliver(16);
    EXPECT_EQ(samples.size(), 1u);
}

TEST_F(AccelerometerServiceTest, StartWhileStartedChangesNothing)
{
    startWithSensor();
    deliver(5);
    service.start();
    EXPECT_EQ(readyCalls, 1);
    EXPECT_EQ(backend->devices.size(), 1u);
    deliver(3);
    EXPECT_EQ(samples.size(), 1u); // the count went on from 5
}

TEST_F(AccelerometerServiceTest, StopClosesTheDeviceAndRestartBeginsAfresh)
{
    startWithSensor();
    deliver(5);
    service.stop();
    const auto* first = backend->devices.at(0).get();
    EXPECT_EQ(first->unschedules, 1);
    EXPECT_EQ(first->closes, 1);
    EXPECT_TRUE(first->released);
    EXPECT_FALSE(service.isStarted());
    EXPECT_FALSE(service.onSample());
    EXPECT_FALSE(backend->deliver(sensorReport(0, 0, 0)));

    installHandlers();
    service.start();
    ASSERT_EQ(backend->devices.size(), 2u);
    EXPECT_EQ(backend->lastDevice()->properties.size(), 3u);
    deliver(7);
    EXPECT_TRUE(samples.empty()); // counting restarted from 0
    deliver(1);
    EXPECT_EQ(samples.size(), 1u);
}

TEST_F(AccelerometerServiceTest, StopWhenIdleOnlyClearsHandlers)
{
    installHandlers();
    service.stop();
    service.stop();
    EXPECT_FALSE(service.onSample());
    EXPECT_FALSE(service.onError());
    EXPECT_FALSE(service.onReady());
    EXPECT_EQ(backend->enumerations, 0);
}

struct StartFailureCase {
    const char* name;
    std::vector<FakeHidService> services;
    hid::ReturnCode enumerationResult;
    const char* error;
    std::vector<hid::ServiceId> created; // which services a device was created for
};

hid::PropertyDictionary usage(hid::PropertyValue page, std::optional<hid::PropertyValue> usage)
{
    hid::PropertyDictionary dict{{"PrimaryUsagePage", page}};
    if (usage) {
        dict.emplace("PrimaryUsage", *usage);
    }
    return dict;
}

FakeHidService failing(hid::ServiceId id, bool createFails, hid::ReturnCode openResult)
{
    FakeHidService service = FakeHidService::sensor(id);
    service.createFails = createFails;
    service.openResult = openResult;
    return service;
}

const char* const kNotFound = "Accelerometer not found. Make sure this laptop has a motion sensor.";

const StartFailureCase kStartFailures[] = {
    {"NoServices", {}, hid::kSuccess, kNotFound, {}},
    {"EnumerationFails", {FakeHidService::sensor(1)}, -5, kNotFound, {}},
    {"UsageMissing", {{1, usage(std::int64_t{0xFF00}, std::nullopt), false, 0}}, hid::kSuccess, kNotFound, {}},
    {"UsageNotAnInteger", {{1, usage(std::int64_t{0xFF00}, 3.0), false, 0}}, hid::kSuccess, kNotFound, {}},
    {"UsageAsText", {{1, usage(std::int64_t{0xFF00}, std::string("3")), false, 0}}, hid::kSuccess, kNotFound, {}},
    {"OtherUsagePage", {{1, usage(std::int64_t{0xFF01}, std::int64_t{3}), false, 0}}, hid::kSuccess, kNotFound, {}},
    {"PropertiesUnreadable", {{1, std::nullopt, false, 0}}, hid::kSuccess, kNotFound, {}},
    {"CreateFailsLaterServicesNotTried",
     {failing(1, true, 0), FakeHidService::sensor(2)},
     hid::kSuccess,
     kNotFound,
     {1}},
    {"OpenFails",
     {failing(1, false, -1), FakeHidService::sensor(2)},
     hid::kSuccess,
     "Cannot open accelerometer (code: 0xffffffff).",
     {1}},
};

class AccelerometerStartFailure : public ::testing::TestWithParam<StartFailureCase> {};

TEST_P(AccelerometerStartFailure, ReportsExactlyOneErrorAndStaysIdle)
{
    const auto& param = GetParam();
    auto backend = std::make_shared<FakeHidBackend>();
    backend->services = param.services;
    backend->enumerationResult = param.enumerationResult;
    AccelerometerService service(backend);
    std::vector<std::string> errors;
    int ready = 0;
    service.setOnError([&](const AccelerometerError& e) { errors.push_back(e.errorDescription()); });
    service.setOnReady([&] { ++ready; });

    service.start();

    EXPECT_EQ(errors, std::vector<std::string>{param.error});
    EXPECT_EQ(ready, 0);
    EXPECT_FALSE(service.isStarted());
    EXPECT_EQ(backend->created, param.created);
    for (const auto& device : backend->devices) {
        EXPECT_TRUE(device->released);
        EXPECT_EQ(device->schedules, 0);
    }
    // A sensor service exists exactly where a device was created for it.
    EXPECT_EQ(service.isAvailable(), !param.created.empty());
}

INSTANTIATE_TEST_SUITE_P(All, AccelerometerStartFailure, ::testing::ValuesIn(kStartFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AccelerometerServiceTest, AFailedOpenIsRetriedByTheNextStart)
{
    backend->services = {failing(1, false, -1)};
    installHandlers();
    service.start();
    EXPECT_EQ(errorCodes, std::vector<std::int32_t>{-1});

    backend->services[0].openResult = hid::kSuccess;
    installHandlers();
    service.start();
    EXPECT_TRUE(service.isStarted());
    EXPECT_EQ(backend->devices.size(), 2u);
    EXPECT_EQ(readyCalls, 1);
}

TEST_F(AccelerometerServiceTest, ALostDeviceIsReleasedReportedOnceAndReopenedByTheNextStart)
{
    startWithSensor();
    deliver(8);
    ASSERT_TRUE(backend->lose(-5));
    EXPECT_EQ(errors, std::vector<std::string>{"Lost the accelerometer (code: 0xfffffffb)."});
    EXPECT_FALSE(service.isStarted());
    const auto* lost = backend->lastDevice();
    EXPECT_FALSE(lost->scheduled);
    EXPECT_EQ(lost->closes, 1);
    EXPECT_TRUE(lost->released);
    EXPECT_EQ(samples.size(), 1u);

    // The owner's handler stops the service; a later start opens the sensor again.
    service.stop();
    installHandlers();
    service.start();
    EXPECT_TRUE(service.isStarted());
    EXPECT_EQ(backend->devices.size(), 2u);
    EXPECT_EQ(errors.size(), 1u);
    deliver(8);
    EXPECT_EQ(samples.size(), 2u);
}

TEST_F(AccelerometerServiceTest, ALossAfterDisableCallbacksReportsNothing)
{
    startWithSensor();
    service.disableCallbacks();
    installHandlers(); // not accepted again until the next start
    ASSERT_TRUE(backend->lose(-5));
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(service.isStarted());
}

TEST_F(AccelerometerServiceTest, WithoutAnErrorHandlerAFailureIsSilent)
{
    service.setOnReady([this] { ++readyCalls; });
    service.start();
    EXPECT_FALSE(service.isStarted());
    EXPECT_EQ(readyCalls, 0);
}

TEST_F(AccelerometerServiceTest, IsAvailableFollowsTheMatchingRuleAndOpensNothing)
{
    EXPECT_FALSE(service.isAvailable());
    backend->services = {{7, usage(std::int64_t{1}, std::int64_t{6}), false, 0}, FakeHidService::sensor(8)};
    EXPECT_TRUE(service.isAvailable());
    EXPECT_TRUE(backend->created.empty());
    backend->enumerationResult = -1;
    EXPECT_FALSE(service.isAvailable());
}

TEST_F(AccelerometerServiceTest, HandlersMayReenterTheServiceWithoutDeadlock)
{
    backend->services = {FakeHidService::sensor(1)};
    service.setOnReady([this] {
        ++readyCalls;
        service.setOnReady(nullptr); // replaces the running handler
    });
    service.setOnSample([this](double, double, double) {
        samples.push_back({});
        service.disableCallbacks();
    });
    service.start();
    EXPECT_EQ(readyCalls, 1);
    deliver(16);
    EXPECT_EQ(samples.size(), 1u);
    EXPECT_FALSE(service.onSample());
}

TEST(AccelerometerServiceOverHidraw, ANodeThatHangsUpIsReportedOnTheMainLoopAndOpenedAgainByTheNextStart)
{
    // The hidraw node is a FIFO: closing its writer is the hang-up of a sensor that went away.
    testsupport::TempDir dir;
    dir.write("sys/class/hidraw/hidraw0/device/report_descriptor",
              std::string("\x06\x00\xFF\x09\x03\xA1\x01\x75\x08\x95\x16\x81\x02\xC0", 14));
    const std::string node = (dir.mkdir("dev") / "hidraw0").string();
    ASSERT_EQ(::mkfifo(node.c_str(), 0600), 0);
    AccelerometerService service(std::make_shared<hid::HidrawBackend>(dir.path()));
    std::vector<std::string> errors;
    int samples = 0;
    const auto install = [&] {
        service.setOnSample([&](double, double, double) { ++samples; });
        service.setOnError([&](const AccelerometerError& error) { errors.push_back(error.errorDescription()); });
    };

    int writer = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    install();
    service.start();
    ASSERT_TRUE(service.isStarted());
    const auto report = sensorReport(0, 0, 65536);
    ASSERT_EQ(::write(writer, report.data(), report.size()), 22);
    ::close(writer);
    EXPECT_TRUE(errors.empty()) << "reported outside the main loop";
    ASSERT_TRUE(testsupport::pumpUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<std::string>{"Lost the accelerometer (code: 0xffffffed)."});
    EXPECT_FALSE(service.isStarted());

    service.stop();
    writer = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    install();
    service.start();
    EXPECT_TRUE(service.isStarted());
    // One report at a time: a FIFO would hand reports waiting together to one read.
    const auto unread = [&] {
        int bytes = 0;
        ::ioctl(writer, FIONREAD, &bytes);
        return bytes;
    };
    for (int i = 0; i < AccelerometerService::imuDecimation; ++i) {
        ASSERT_EQ(::write(writer, report.data(), report.size()), 22);
        ASSERT_TRUE(testsupport::pumpUntil([&] { return unread() == 0; }));
    }
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(errors.size(), 1u);
    service.stop();
    ::close(writer);
}

TEST(AccelerometerServiceLifetime, DestroyingAStartedServiceStopsItsDevice)
{
    auto backend = std::make_shared<FakeHidBackend>();
    backend->services = {FakeHidService::sensor(1)};
    {
        AccelerometerService service(backend);
        service.start();
        ASSERT_TRUE(service.isStarted());
    }
    const auto* device = backend->lastDevice();
    EXPECT_EQ(device->unschedules, 1);
    EXPECT_EQ(device->closes, 1);
    EXPECT_TRUE(device->released);
    EXPECT_FALSE(backend->deliver(sensorReport(0, 0, 0)));
}
