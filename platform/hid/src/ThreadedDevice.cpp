#include "ThreadedDevice.h"

#include "HidLogging.h"
#include "platform/hid/SensorReport.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace hid::detail {

std::size_t readWhenReady(int fd, int stopFd, std::span<std::uint8_t> into, SampleSink& sink)
{
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            sink.fail(-errno);
            return 0;
        }
        if (fds[1].revents) {
            return 0;
        }
        const ssize_t n = ::read(fd, into.data(), into.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            sink.fail(-errno);
            return 0;
        }
        if (n == 0) {
            sink.fail(-ENODEV); // hung up
            return 0;
        }
        return static_cast<std::size_t>(n);
    }
}

ThreadedDevice::ThreadedDevice()
    : drain([this] { deliverPending(); })
{
}

ThreadedDevice::~ThreadedDevice()
{
    *alive = false;
    drain.stop();
    // Subclasses have stopped the reader and closed their source already.
}

ReturnCode ThreadedDevice::open()
{
    if (opened) {
        return kSuccess;
    }
    const ReturnCode result = openSource();
    opened = result == kSuccess;
    return result;
}

ReturnCode ThreadedDevice::setProperty(const std::string& key, std::int64_t value)
{
    // Only the report interval has a meaning here; the power and reporting states are the driver's.
    if (key == "ReportInterval" && value > 0) {
        reportIntervalUs = value;
    }
    return kSuccess;
}

void ThreadedDevice::registerInputReportCallback(std::uint8_t* buffer, std::size_t length, InputReportCallback callback,
                                                 void* context)
{
    target.set(buffer, length, callback, context);
}

void ThreadedDevice::registerRemovalCallback(RemovalCallback callback, void* context)
{
    target.setRemoval(callback, context);
}

void ThreadedDevice::scheduleWithMainLoop()
{
    if (!opened || started) {
        return;
    }
    started = true;
    queue.clear();
    const ReturnCode result = startSource();
    if (result != kSuccess) {
        queue.fail(result); // reported from the loop, like any other failure
    } else {
        stopFd = ::eventfd(0, EFD_CLOEXEC);
        if (stopFd < 0) {
            queue.fail(-errno);
        } else {
            reader = std::thread(
                [this, sink = std::make_shared<SampleSink>(queue, reportIntervalUs)] { runReader(stopFd, *sink); });
        }
    }
    drain.start();
}

void ThreadedDevice::stopReader()
{
    if (reader.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stopFd, &one, sizeof one);
        reader.join();
    }
    if (stopFd >= 0) {
        ::close(stopFd);
        stopFd = -1;
    }
    if (started) {
        started = false;
        stopSource();
    }
}

void ThreadedDevice::unscheduleFromMainLoop()
{
    drain.stop();
    stopReader();
    queue.clear();
}

void ThreadedDevice::close()
{
    unscheduleFromMainLoop();
    if (opened) {
        opened = false;
        closeSource();
    }
}

void ThreadedDevice::deliverPending()
{
    const std::optional<ReturnCode> failure = queue.take(batch);
    const auto stillAlive = alive;
    for (const QueuedSample& sample : batch) {
        if (!target.ready()) {
            break;
        }
        const SensorReport report = makeSensorReport(sample.units[0], sample.units[1], sample.units[2]);
        for (int copy = 0; copy < sample.copies; ++copy) {
            target.deliver(this, report);
            if (!*stillAlive || !drain.isRunning()) {
                return; // destroyed, unscheduled or closed by the callback
            }
        }
    }
    if (failure) {
        drain.stop();
        target.lost(*failure);
    }
}

} // namespace hid::detail
