#pragma once

#include "platform/hid/Hid.h"

#include <QElapsedTimer>
#include <array>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace hidtest {

/// Collects the reports a device delivers, with the time each arrived since start of the sink.
/// `onReport` runs after each report is stored, inside the device's callback.
struct ReportSink {
    std::array<std::uint8_t, 256> buffer{};
    std::size_t bufferLength = buffer.size();
    std::vector<std::vector<std::uint8_t>> reports;
    std::vector<std::int64_t> arrivalsUs;
    std::function<void()> onReport;
    QElapsedTimer clock;

    explicit ReportSink(std::size_t length = 256)
        : bufferLength(length)
    {
        clock.start();
    }

    void attach(hid::Device& device)
    {
        device.registerInputReportCallback(buffer.data(), bufferLength, &ReportSink::callback, this);
    }

    static void callback(void* context, hid::ReturnCode, void*, std::uint32_t, std::uint32_t, std::uint8_t* report,
                         std::ptrdiff_t length)
    {
        auto* sink = static_cast<ReportSink*>(context);
        sink->arrivalsUs.push_back(sink->clock.nsecsElapsed() / 1000);
        sink->reports.emplace_back(report, report + length);
        if (sink->onReport) {
            sink->onReport();
        }
    }
};

/// The signed 32-bit little-endian value at `offset` of `report`.
inline std::int32_t valueAt(const std::vector<std::uint8_t>& report, std::size_t offset)
{
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        bits |= static_cast<std::uint32_t>(report.at(offset + i)) << (8 * i);
    }
    return static_cast<std::int32_t>(bits);
}

} // namespace hidtest

namespace hidtest {

/// Records the removal callback's calls.
struct RemovalSink {
    std::vector<hid::ReturnCode> errors;
    std::size_t reportsBefore = 0; // reports the sink had when the removal came
    const ReportSink* reports = nullptr;

    void attach(hid::Device& device, const ReportSink& sink)
    {
        reports = &sink;
        device.registerRemovalCallback(&RemovalSink::callback, this);
    }

    static void callback(void* context, hid::ReturnCode error)
    {
        auto* self = static_cast<RemovalSink*>(context);
        self->errors.push_back(error);
        self->reportsBefore = self->reports ? self->reports->reports.size() : 0;
    }
};

} // namespace hidtest

namespace hidtest {

/// Creates and opens `service`'s device, attaches `sink` and schedules it; null when the backend
/// makes no device.
inline std::unique_ptr<hid::Device> startDevice(hid::Backend& backend, hid::ServiceId service, ReportSink& sink)
{
    auto device = backend.createDevice(service);
    EXPECT_TRUE(device);
    if (!device) {
        return nullptr;
    }
    EXPECT_EQ(device->open(), hid::kSuccess);
    sink.attach(*device);
    device->scheduleWithMainLoop();
    return device;
}

/// The writing ends of FIFO nodes, closed when the fixture ends.
class FifoWriters {
public:
    FifoWriters() = default;
    FifoWriters(const FifoWriters&) = delete;
    FifoWriters& operator=(const FifoWriters&) = delete;
    ~FifoWriters()
    {
        for (const int fd : fds) {
            ::close(fd);
        }
    }

    /// Read-write, so that opening never waits for a reader.
    int open(const std::filesystem::path& node)
    {
        const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        fds.push_back(fd);
        return fd;
    }

    /// Forgets the ends without closing them, for a test that closes them itself.
    void release() { fds.clear(); }

private:
    std::vector<int> fds;
};

} // namespace hidtest
