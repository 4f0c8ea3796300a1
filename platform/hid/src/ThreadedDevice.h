#pragma once

#include "MainLoopDrain.h"
#include "ReportTarget.h"
#include "SampleQueue.h"
#include "platform/hid/Hid.h"
#include "platform/hid/RateMatcher.h"

#include <memory>
#include <span>
#include <thread>
#include <vector>

namespace hid::detail {

/// Handed to a reader thread: turns its samples into queued reports at the rate the service
/// expects.
class SampleSink {
public:
    SampleSink(SampleQueue& queue, std::int64_t reportIntervalUs)
        : queue(queue)
        , matcher(reportIntervalUs)
    {
    }
    /// A sample in sensor units, `intervalUs` after the previous one (0 or less: unknown).
    void push(const std::array<std::int32_t, 3>& units, double intervalUs)
    {
        const int copies = matcher.copiesAfter(intervalUs);
        if (copies > 0) {
            queue.push({units, copies});
        }
    }
    /// The source failed or hung up: no more samples.
    void fail(ReturnCode error) { queue.fail(error); }

private:
    SampleQueue& queue;
    RateMatcher matcher;
};

/// Reader thread: waits until `fd` is readable or `stopFd` is signalled, then reads into `into`.
/// Returns the count read (more than 0); 0 when stopped, or when the source failed or hung up
/// (then reported to the sink). Interrupted waits and reads, and reads with nothing yet, wait again.
std::size_t readWhenReady(int fd, int stopFd, std::span<std::uint8_t> into, SampleSink& sink);

/// A device whose samples are read on a thread of its own, so that no read of the sensor ever
/// blocks the main thread, and handed to the main thread in batches (MainLoopDrain): each sample
/// as the reports the service expects, in order; the end of the stream as the removal callback.
/// Subclasses open their source, run the reader and undo what they did; their destructors call
/// stopReader() first.
class ThreadedDevice : public Device {
public:
    ~ThreadedDevice() override;

    ReturnCode open() override;
    ReturnCode setProperty(const std::string& key, std::int64_t value) override;
    void registerInputReportCallback(std::uint8_t* buffer, std::size_t length, InputReportCallback callback,
                                     void* context) override;
    void registerRemovalCallback(RemovalCallback callback, void* context) override;
    void scheduleWithMainLoop() override;
    void unscheduleFromMainLoop() override;
    void close() override;

protected:
    ThreadedDevice();

    /// Main thread: opens the source; kSuccess or -errno.
    virtual ReturnCode openSource() = 0;
    /// Main thread, before the reader starts: gets the source going; kSuccess or -errno (then
    /// the removal callback is called at the next turn of the loop).
    virtual ReturnCode startSource() { return kSuccess; }
    /// Reader thread: reads until `stopFd` becomes readable (then returns at once) or the
    /// source fails (then calls sink.fail()).
    virtual void runReader(int stopFd, SampleSink& sink) = 0;
    /// Main thread, after the reader has stopped: undoes startSource().
    virtual void stopSource() {}
    /// Main thread: closes the source.
    virtual void closeSource() = 0;

    /// Stops and joins the reader and undoes startSource(); safe to repeat.
    void stopReader();
    bool isOpen() const { return opened; }

private:
    void deliverPending();

    ReportTarget target;
    SampleQueue queue;
    std::vector<QueuedSample> batch;
    std::int64_t reportIntervalUs = 1000;
    bool opened = false;
    bool started = false;
    int stopFd = -1; // an eventfd that tells the reader to return
    std::thread reader;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    MainLoopDrain drain; // last: stopped and destroyed before the state it reads
};

} // namespace hid::detail
