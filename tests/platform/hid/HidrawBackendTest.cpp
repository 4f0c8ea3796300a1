#include "platform/hid/HidrawBackend.h"

#include "ReportSink.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using hidtest::ReportSink;

const std::string kSensorDescriptor("\x06\x00\xFF\x09\x03\xA1\x01\x75\x08\x95\x16\x81\x02\xC0", 14);
const std::string kKeyboardDescriptor("\x05\x01\x09\x06\xA1\x01\xC0", 7);

std::vector<std::uint8_t> reportWith(std::uint8_t marker)
{
    std::vector<std::uint8_t> report(22, 0);
    report[0] = marker;
    report[21] = static_cast<std::uint8_t>(~marker);
    return report;
}

class HidrawBackendTest : public ::testing::Test {
protected:
    // A node `hidrawN` that is a FIFO, so reads go through the event loop as with a real node.
    fs::path addNode(int number, const std::string& descriptor)
    {
        dir.write("sys/class/hidraw/hidraw" + std::to_string(number) + "/device/report_descriptor", descriptor);
        const fs::path node = dir.mkdir("dev") / ("hidraw" + std::to_string(number));
        EXPECT_EQ(::mkfifo(node.c_str(), 0600), 0);
        return node;
    }

    static void send(int fd, const std::vector<std::uint8_t>& report)
    {
        ASSERT_EQ(::write(fd, report.data(), report.size()), static_cast<ssize_t>(report.size()));
    }

    // An opened, scheduled device on `node` feeding `sink`.
    std::unique_ptr<hid::Device> startDevice(int number, ReportSink& sink)
    {
        return hidtest::startDevice(backend, static_cast<hid::ServiceId>(number), sink);
    }

    // Runs the loop until a separate notifier on `node` saw data, so every notifier that was
    // ready with it has had its turn too.
    void pumpUntilWitnessed(const fs::path& node)
    {
        const int writer = writers.open(node);
        const int reader = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        bool seen = false;
        QSocketNotifier witness(reader, QSocketNotifier::Read);
        QObject::connect(&witness, &QSocketNotifier::activated, [&] {
            seen = true;
            witness.setEnabled(false);
        });
        send(writer, reportWith(0));
        EXPECT_TRUE(testsupport::pumpUntil([&] { return seen; }));
        testsupport::pumpFor(std::chrono::milliseconds(5));
        ::close(reader);
    }

    testsupport::TempDir dir;
    hid::HidrawBackend backend{dir.path()};
    hidtest::FifoWriters writers;
};

TEST_F(HidrawBackendTest, ListsNodesInNumericOrder)
{
    addNode(10, kSensorDescriptor);
    addNode(2, kKeyboardDescriptor);
    addNode(0, kKeyboardDescriptor);
    dir.write("dev/hidraw", "");
    dir.write("dev/hidrawX1", "");
    dir.write("dev/video0", "");

    std::vector<hid::ServiceId> services;
    ASSERT_EQ(backend.matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
    EXPECT_EQ(services, (std::vector<hid::ServiceId>{0, 2, 10}));
}

TEST_F(HidrawBackendTest, OtherClassesAndMissingDevFolderHaveNoServices)
{
    std::vector<hid::ServiceId> services{99};
    EXPECT_EQ(backend.matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
    EXPECT_TRUE(services.empty());

    addNode(0, kSensorDescriptor);
    EXPECT_EQ(backend.matchingServices("IOHIDDevice", services), hid::kSuccess);
    EXPECT_TRUE(services.empty());
}

TEST_F(HidrawBackendTest, PropertiesComeFromDescriptorAndUevent)
{
    addNode(3, kSensorDescriptor);
    dir.write("sys/class/hidraw/hidraw3/device/uevent",
              "DRIVER=hid-generic\nHID_ID=0018:000005AC:00008104\nHID_NAME=SPU Sensor\n");

    const auto properties = backend.properties(3);
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->at(hid::kPrimaryUsagePageKey), hid::PropertyValue(std::int64_t{0xFF00}));
    EXPECT_EQ(properties->at(hid::kPrimaryUsageKey), hid::PropertyValue(std::int64_t{3}));
    EXPECT_EQ(properties->at("Product"), hid::PropertyValue(std::string("SPU Sensor")));
}

TEST_F(HidrawBackendTest, UnreadableOrUsagelessDescriptorLeavesOutUsageKeys)
{
    addNode(0, kSensorDescriptor);
    fs::remove(dir.path() / "sys/class/hidraw/hidraw0/device/report_descriptor");
    addNode(1, std::string("\x06\x00\xFF\x09\x03", 5)); // no collection

    for (const hid::ServiceId service : {0, 1}) {
        const auto properties = backend.properties(service);
        ASSERT_TRUE(properties);
        EXPECT_EQ(properties->count(hid::kPrimaryUsagePageKey), 0u) << service;
        EXPECT_EQ(properties->count(hid::kPrimaryUsageKey), 0u) << service;
    }
}

TEST_F(HidrawBackendTest, OpenFailureReturnsNegativeErrno)
{
    dir.mkdir("dev/hidraw1"); // a folder where the node should be
    struct Case {
        hid::ServiceId service;
        hid::ReturnCode expected;
    };
    for (const Case& c : {Case{0, -ENOENT}, Case{1, -EISDIR}}) {
        auto device = backend.createDevice(c.service);
        ASSERT_TRUE(device);
        EXPECT_EQ(device->open(), c.expected) << c.service;
    }
}

TEST_F(HidrawBackendTest, DeliversEachReportFromTheEventLoop)
{
    const fs::path node = addNode(0, kSensorDescriptor);
    const int writer = writers.open(node);
    ReportSink sink(22);
    auto device = startDevice(0, sink);
    EXPECT_EQ(device->setProperty("ReportInterval", 1000), hid::kSuccess);

    for (std::uint8_t marker = 1; marker <= 3; ++marker) {
        send(writer, reportWith(marker));
    }
    EXPECT_TRUE(sink.reports.empty()) << "delivered outside the event loop";
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() == 3; }));
    for (std::uint8_t marker = 1; marker <= 3; ++marker) {
        EXPECT_EQ(sink.reports[marker - 1], reportWith(marker));
    }

    send(writer, reportWith(4));
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() == 4; }));
    EXPECT_EQ(sink.reports[3], reportWith(4));
    device->unscheduleFromMainLoop();
    device->close();
}

TEST_F(HidrawBackendTest, AHangUpEndsDeliveryAfterTheReportsReadBeforeIt)
{
    const fs::path node = addNode(0, kSensorDescriptor);
    const int writer = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ReportSink sink(22);
    hidtest::RemovalSink removal;
    auto device = backend.createDevice(0);
    ASSERT_EQ(device->open(), hid::kSuccess);
    sink.attach(*device);
    removal.attach(*device, sink);
    device->scheduleWithMainLoop();
    send(writer, reportWith(1));
    send(writer, reportWith(2));
    ::close(writer);

    ASSERT_TRUE(testsupport::pumpUntil([&] { return !removal.errors.empty(); }));
    testsupport::pumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(removal.errors, std::vector<hid::ReturnCode>{-ENODEV});
    EXPECT_EQ(removal.reportsBefore, 2u);
    EXPECT_EQ(sink.reports.size(), 2u);
    device->close();
}

TEST_F(HidrawBackendTest, ReportsWaitingTogetherComeInOneBatchBeforeTheNextEvent)
{
    // Reports that the node holds are all delivered before the main thread handles a later event.
    const fs::path node = addNode(0, kSensorDescriptor);
    const int writer = writers.open(node);
    ReportSink sink(22);
    auto device = startDevice(0, sink);
    for (std::uint8_t marker = 1; marker <= 40; ++marker) {
        send(writer, reportWith(marker));
    }
    std::size_t seenByTheEvent = 0;
    QTimer::singleShot(0, [&] { seenByTheEvent = sink.reports.size(); });
    ASSERT_TRUE(testsupport::pumpUntil([&] { return sink.reports.size() == 40; }));
    EXPECT_EQ(seenByTheEvent, 40u);
    device->unscheduleFromMainLoop();
    device->close();
}

TEST_F(HidrawBackendTest, NoReportAfterUnschedule)
{
    const fs::path node = addNode(0, kSensorDescriptor);
    const int writer = writers.open(node);
    ReportSink sink(22);
    auto device = startDevice(0, sink);
    send(writer, reportWith(1));
    device->unscheduleFromMainLoop();

    pumpUntilWitnessed(addNode(1, kSensorDescriptor));
    EXPECT_TRUE(sink.reports.empty());
    device->close();
}

TEST_F(HidrawBackendTest, CallbackMayUnscheduleOrDestroyTheDevice)
{
    const fs::path node = addNode(0, kSensorDescriptor);
    const int writer = writers.open(node);
    for (const bool destroy : {false, true}) {
        ReportSink sink(22);
        std::unique_ptr<hid::Device> device = startDevice(0, sink);
        sink.onReport = [&] {
            if (destroy) {
                device.reset();
            } else {
                device->unscheduleFromMainLoop();
                device->close();
            }
        };
        for (std::uint8_t marker = 1; marker <= 3; ++marker) {
            send(writer, reportWith(marker));
        }
        ASSERT_TRUE(testsupport::pumpUntil([&] { return !sink.reports.empty(); }));
        pumpUntilWitnessed(addNode(destroy ? 2 : 1, kSensorDescriptor));
        EXPECT_EQ(sink.reports.size(), 1u) << "destroy: " << destroy;
        char drain[256];
        while (::read(writer, drain, sizeof drain) > 0) {
        }
    }
}

TEST_F(HidrawBackendTest, DestroyingAScheduledDeviceStopsDelivery)
{
    const fs::path node = addNode(0, kSensorDescriptor);
    const int writer = writers.open(node);
    ReportSink sink(22);
    auto device = startDevice(0, sink);
    device.reset();
    send(writer, reportWith(1));

    pumpUntilWitnessed(addNode(1, kSensorDescriptor));
    EXPECT_TRUE(sink.reports.empty());
}

} // namespace
