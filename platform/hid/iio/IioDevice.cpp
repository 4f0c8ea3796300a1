#include "IioDevice.h"

#include "HidLogging.h"
#include "IioSysfs.h"
#include "Permissions.h"
#include "SysfsFile.h"
#include "ThreadedDevice.h"
#include "platform/hid/IioScanType.h"
#include "platform/hid/SensorReport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hid::detail::iio {

namespace fs = std::filesystem;

namespace {

// The reader wakes about this often: the buffer's watermark is the samples of one such period.
constexpr double kReaderWakeHz = 100.0;
constexpr int kBufferLength = 1024;
// Polling gives up after this many failed reads in a row (a second at 200 Hz).
constexpr int kMaxFailedReads = 200;

struct Channel {
    std::string name; // "in_accel_x", "in_timestamp", ...
    int index = 0;
    IioScanType type;
    std::size_t offset = 0; // in a sample
};

class IioDevice final : public detail::ThreadedDevice {
public:
    IioDevice(fs::path folder, fs::path node, std::string name, std::uint64_t number, IioBackend::Kind kind,
              std::shared_ptr<IioBackend::WriteObserver> observer, std::shared_ptr<IioBackend::NodeOpener> opener,
              fs::path root)
        : folder(std::move(folder))
        , node(std::move(node))
        , name(std::move(name))
        , number(number)
        , kind(kind)
        , observer(std::move(observer))
        , opener(std::move(opener))
        , root(std::move(root))
    {
    }

    ~IioDevice() override
    {
        stopReader();
        closeSource();
    }

private:
    struct Axis {
        int fd = -1; // the raw file, when polling
        double scale = 1.0;
        double offset = 0.0;
        std::int32_t units = 0; // the last reading
    };

    // --- main thread -------------------------------------------------------------------------

    ReturnCode openSource() override
    {
        for (std::size_t i = 0; i < kAxes.size(); ++i) {
            int error = 0;
            const auto scale = axisAttribute(folder, kAxes[i], "scale", error);
            if (!scale) {
                return -error;
            }
            const auto offset = axisAttribute(folder, kAxes[i], "offset", error);
            if (!offset && error != ENOENT) {
                return -error;
            }
            axes[i] = Axis{-1, *scale, offset.value_or(0.0), 0};
        }
        buffered = false;
        if (kind != IioBackend::Kind::Polled && hasScanElements(folder) && fileExists(node)) {
            const ReturnCode result = openBuffer();
            if (result == kSuccess) {
                buffered = true;
                return kSuccess;
            }
            if (kind == IioBackend::Kind::Buffered || !hasRawFiles(folder)) {
                return result;
            }
        }
        return openRawFiles();
    }

    ReturnCode openBuffer()
    {
        const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
        const int fd = *opener ? (*opener)(node, flags) : ::open(node.c_str(), flags);
        if (fd < 0) {
            const int error = errno;
            if (error == EBUSY) {
                qCWarning(lcHid).noquote() << "iio:" << QString::fromStdString(node.string())
                                           << "is held by another process (a sensor proxy such as"
                                              " iio-sensor-proxy): polling the raw values instead";
            } else if (error == EACCES || error == EPERM) {
                detail::warnAboutPermission("iio", node);
            }
            return -error;
        }
        if (!chooseTrigger()) {
            ::close(fd);
            qCInfo(lcHid).noquote() << "iio:" << QString::fromStdString(folder.string())
                                    << "has no trigger of its own and no hrtimer trigger can be made:"
                                       " polling the raw values instead";
            return -ENODEV;
        }
        nodeFd = fd;
        return kSuccess;
    }

    ReturnCode openRawFiles()
    {
        for (std::size_t i = 0; i < kAxes.size(); ++i) {
            axes[i].fd = ::open(rawFile(folder, kAxes[i]).c_str(), O_RDONLY | O_CLOEXEC);
            if (axes[i].fd < 0) {
                const int error = errno;
                if (error == EACCES || error == EPERM) {
                    detail::warnAboutPermission("iio", rawFile(folder, kAxes[i]));
                }
                closeSource();
                return -error;
            }
        }
        const double rate = std::min(readNumber(frequencyFile(folder)).value_or(IioBackend::kMaxReadRateHz),
                                     IioBackend::kMaxReadRateHz);
        readPeriodUs = rate > 0 ? 1e6 / rate : 1e6 / IioBackend::kMaxReadRateHz;
        return kSuccess;
    }

    // Where the device has a trigger attribute it needs one: its own, else an hrtimer.
    bool chooseTrigger()
    {
        triggerName.clear();
        hrtimerFolder.clear();
        const fs::path current = folder / "trigger/current_trigger";
        if (!fileExists(current) || !readText(current).empty()) {
            return true; // needs none, or one is attached already (and stays)
        }
        const std::string own = name + "-dev" + std::to_string(number);
        if (findTrigger(own)) {
            triggerName = own;
            return true;
        }
        const fs::path hrtimers = root / "sys/kernel/config/iio/triggers/hrtimer";
        if (fileExists(hrtimers)) {
            triggerName = "thwacko-" + std::to_string(number);
            hrtimerFolder = hrtimers / triggerName;
            return true;
        }
        return false;
    }

    std::optional<fs::path> findTrigger(const std::string& wanted) const
    {
        int error = 0;
        const fs::path devices = root / "sys/bus/iio/devices";
        const auto numbers = detail::numberedEntries(devices, "trigger", error);
        for (const std::uint64_t n : numbers.value_or(std::vector<std::uint64_t>{})) {
            const fs::path trigger = devices / ("trigger" + std::to_string(n));
            if (readText(trigger / "name") == wanted) {
                return trigger;
            }
        }
        return std::nullopt;
    }

    int write(const fs::path& file, const std::string& value)
    {
        if (*observer) {
            (*observer)(file, value);
        }
        const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        const std::string line = value + "\n";
        const ssize_t n = ::write(fd, line.data(), line.size());
        const int error = n < 0 ? errno : 0;
        ::close(fd);
        return error;
    }

    ReturnCode startSource() override
    {
        if (!buffered) {
            return kSuccess;
        }
        undo.clear();
        // 1. The sampling frequency: the highest offered up to 1 kHz, where it can be written.
        const fs::path frequency = frequencyFile(folder);
        const std::vector<double> offered = offeredFrequencies(folder);
        double best = 0;
        for (const double value : offered) {
            if (value <= IioBackend::kMaxSamplingHz) {
                best = std::max(best, value);
            }
        }
        if (best > 0 && detail::mayOpen(frequency, true)) {
            const std::string before = readText(frequency);
            if (write(frequency, formatNumber(best)) == 0) {
                undo.push_back({frequency, before});
            }
        }
        rateHz = readNumber(frequency).value_or(0.0);
        // 2. The trigger: an hrtimer made in configfs first, then attached.
        if (!hrtimerFolder.empty()) {
            if (*observer) {
                (*observer)(hrtimerFolder, "mkdir");
            }
            if (::mkdir(hrtimerFolder.c_str(), 0755) != 0 && errno != EEXIST) {
                return failStart(-errno, "cannot make an hrtimer trigger");
            }
            madeHrtimer = true;
            if (const auto trigger = findTrigger(triggerName)) {
                write(*trigger / "sampling_frequency", formatNumber(rateHz > 0 ? rateHz : IioBackend::kMaxReadRateHz));
            }
        }
        if (!triggerName.empty()) {
            const fs::path current = folder / "trigger/current_trigger";
            if (const int error = write(current, triggerName)) {
                return failStart(-error, "cannot attach the trigger");
            }
            undo.push_back({current, ""});
        }
        // 3. The scan elements: the three axes and the timestamp on, every other channel off.
        if (const ReturnCode result = enableChannels(); result != kSuccess) {
            return failStart(result, "cannot enable the scan elements");
        }
        // 4. The buffer: its length, a watermark of about one reader wake-up, then on.
        const int watermark =
            std::clamp(static_cast<int>(std::lround((rateHz > 0 ? rateHz : kReaderWakeHz) / kReaderWakeHz)), 1, 64);
        write(folder / "buffer/length", std::to_string(kBufferLength));
        write(folder / "buffer/watermark", std::to_string(watermark));
        if (const int error = write(folder / "buffer/enable", "1")) {
            return failStart(-error, "cannot enable the buffer");
        }
        bufferEnabled = true;
        return kSuccess;
    }

    ReturnCode enableChannels()
    {
        channels.clear();
        std::error_code error;
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder / "scan_elements", error)) {
            const std::string file = entry.path().filename().string();
            if (file.size() > 3 && file.compare(file.size() - 3, 3, "_en") == 0) {
                names.push_back(file.substr(0, file.size() - 3));
            }
        }
        std::sort(names.begin(), names.end());
        for (const std::string& channel : names) {
            const bool wanted = channel == "in_timestamp" || channel == "in_accel_x" || channel == "in_accel_y" ||
                                channel == "in_accel_z";
            const fs::path enable = enableFile(folder, channel);
            const std::string before = readText(enable);
            if (before != (wanted ? "1" : "0")) {
                if (const int failure = write(enable, wanted ? "1" : "0"); failure && wanted) {
                    return -failure;
                }
                undo.push_back({enable, before});
            }
            if (!wanted) {
                continue;
            }
            const auto index = detail::parseInteger(readText(folder / "scan_elements" / (channel + "_index")));
            const auto type = parseIioScanType(readText(folder / "scan_elements" / (channel + "_type")));
            if (!index || !type) {
                return -EINVAL;
            }
            channels.push_back({channel, static_cast<int>(*index), *type, 0});
        }
        std::sort(channels.begin(), channels.end(),
                  [](const Channel& a, const Channel& b) { return a.index < b.index; });
        // Each channel sits at a multiple of its own storage size; the sample is padded to the largest.
        std::size_t at = 0;
        std::size_t largest = 1;
        for (Channel& channel : channels) {
            const std::size_t align = channel.type.storageBits / 8;
            at = (at + align - 1) / align * align;
            channel.offset = at;
            at += channel.type.storageBytes();
            largest = std::max(largest, align);
        }
        sampleSize = (at + largest - 1) / largest * largest;
        for (std::size_t i = 0; i < kAxes.size(); ++i) {
            const std::string wanted = std::string("in_accel_") + kAxes[i];
            const auto it =
                std::find_if(channels.begin(), channels.end(), [&](const Channel& c) { return c.name == wanted; });
            if (it == channels.end()) {
                return -EINVAL;
            }
            axisChannel[i] = static_cast<std::size_t>(it - channels.begin());
        }
        const auto stamp =
            std::find_if(channels.begin(), channels.end(), [](const Channel& c) { return c.name == "in_timestamp"; });
        timestampChannel = stamp == channels.end() ? -1 : static_cast<int>(stamp - channels.begin());
        return kSuccess;
    }

    ReturnCode failStart(ReturnCode result, const char* what)
    {
        qCWarning(lcHid).noquote() << "iio:" << QString::fromStdString(folder.string()) << "-" << what << "-"
                                   << std::strerror(-result);
        stopSource();
        return result;
    }

    // Undoes startSource() in reverse: the buffer off, the channels and trigger as they were,
    // the hrtimer removed, the frequency as it was.
    void stopSource() override
    {
        if (bufferEnabled) {
            write(folder / "buffer/enable", "0");
            bufferEnabled = false;
        }
        for (auto step = undo.rbegin(); step != undo.rend(); ++step) {
            write(step->first, step->second);
        }
        undo.clear();
        if (madeHrtimer) {
            if (*observer) {
                (*observer)(hrtimerFolder, "rmdir");
            }
            ::rmdir(hrtimerFolder.c_str());
            madeHrtimer = false;
        }
    }

    void closeSource() override
    {
        if (nodeFd >= 0) {
            ::close(nodeFd);
            nodeFd = -1;
        }
        for (Axis& axis : axes) {
            if (axis.fd >= 0) {
                ::close(axis.fd);
                axis.fd = -1;
            }
        }
    }

    static std::string formatNumber(double value)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return text;
    }

    // --- reader thread -----------------------------------------------------------------------

    void runReader(int stopFd, detail::SampleSink& sink) override
    {
        if (buffered) {
            readBuffer(stopFd, sink);
        } else {
            poll(stopFd, sink);
        }
    }

    std::int32_t unitsOf(std::size_t axis, double raw) const
    {
        return sensorUnitsFromG((raw + axes[axis].offset) * axes[axis].scale / kStandardGravity);
    }

    void readBuffer(int stopFd, detail::SampleSink& sink)
    {
        const double nominalUs = rateHz > 0 ? 1e6 / rateHz : 0;
        std::vector<std::uint8_t> data(sampleSize * 256);
        std::size_t held = 0; // bytes of a partial sample kept from the last read
        std::optional<std::int64_t> lastStamp;
        std::optional<std::chrono::steady_clock::time_point> lastRead;
        for (;;) {
            const std::size_t n = detail::readWhenReady(nodeFd, stopFd, std::span(data).subspan(held), sink);
            if (n == 0) {
                return;
            }
            held += n;
            // Without a stated rate or timestamps, the samples of one read share the time since
            // the previous read.
            double arrivalUs = 0;
            if (nominalUs <= 0 && timestampChannel < 0) {
                const auto now = std::chrono::steady_clock::now();
                const std::size_t count = held / sampleSize;
                if (lastRead && count > 0) {
                    arrivalUs =
                        std::chrono::duration<double, std::micro>(now - *lastRead).count() / static_cast<double>(count);
                }
                lastRead = now;
            }
            std::size_t at = 0;
            for (; at + sampleSize <= held; at += sampleSize) {
                const std::uint8_t* sample = data.data() + at;
                std::array<std::int32_t, 3> units{};
                for (std::size_t i = 0; i < kAxes.size(); ++i) {
                    const Channel& channel = channels[axisChannel[i]];
                    units[i] = unitsOf(i, static_cast<double>(channel.type.decode(sample + channel.offset)));
                }
                double intervalUs = nominalUs > 0 ? nominalUs : arrivalUs;
                if (timestampChannel >= 0) {
                    const Channel& channel = channels[static_cast<std::size_t>(timestampChannel)];
                    const std::int64_t stamp = channel.type.decode(sample + channel.offset);
                    intervalUs = lastStamp ? static_cast<double>(stamp - *lastStamp) / 1000.0 : 0.0;
                    lastStamp = stamp;
                }
                sink.push(units, intervalUs);
            }
            std::memmove(data.data(), data.data() + at, held - at);
            held -= at;
        }
    }

    void poll(int stopFd, detail::SampleSink& sink)
    {
        using Clock = std::chrono::steady_clock;
        const auto period = std::chrono::microseconds(static_cast<std::int64_t>(std::ceil(readPeriodUs)));
        auto next = Clock::now();
        bool warned = false;
        int failedReads = 0; // in a row
        for (;;) {
            bool failed = false;
            int error = EIO;
            for (std::size_t i = 0; i < kAxes.size(); ++i) {
                char text[64];
                const ssize_t n = ::pread(axes[i].fd, text, sizeof text - 1, 0);
                if (n < 0) {
                    error = errno;
                }
                const auto raw =
                    n > 0 ? detail::parseNumber(std::string_view(text, static_cast<std::size_t>(n))) : std::nullopt;
                if (raw) {
                    axes[i].units = unitsOf(i, *raw);
                } else {
                    failed = true;
                    if (!warned) {
                        qCWarning(lcHid) << "iio: cannot read" << folder.c_str() << "- repeating the last reading";
                        warned = true;
                    }
                }
            }
            // A device that went away, or a second of nothing but failures, ends the stream.
            failedReads = failed ? failedReads + 1 : 0;
            if (failed && (error == ENODEV || error == ENXIO || failedReads >= kMaxFailedReads)) {
                sink.fail(-error);
                return;
            }
            sink.push({axes[0].units, axes[1].units, axes[2].units}, readPeriodUs);
            next += period;
            const auto now = Clock::now();
            if (next < now) {
                next = now; // a slow read delays the next one instead of bursting
            }
            const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
            pollfd stop{stopFd, POLLIN, 0};
            const int ready = ::poll(&stop, 1, static_cast<int>(std::min<std::int64_t>(waitMs, 24 * 3600 * 1000)));
            if (ready > 0) {
                return;
            }
        }
    }

    fs::path folder;
    fs::path node;
    std::string name;
    std::uint64_t number;
    IioBackend::Kind kind;
    std::shared_ptr<IioBackend::WriteObserver> observer;
    std::shared_ptr<IioBackend::NodeOpener> opener;
    fs::path root;

    std::array<Axis, 3> axes;
    bool buffered = false;
    int nodeFd = -1;
    double readPeriodUs = 1e6 / IioBackend::kMaxReadRateHz;
    double rateHz = 0;
    std::string triggerName;
    fs::path hrtimerFolder;
    bool madeHrtimer = false;
    bool bufferEnabled = false;
    std::vector<std::pair<fs::path, std::string>> undo; // attributes and their values before
    std::vector<Channel> channels;
    std::array<std::size_t, 3> axisChannel{};
    int timestampChannel = -1;
    std::size_t sampleSize = 0;
};

} // namespace

std::unique_ptr<Device> makeDevice(fs::path folder, fs::path node, std::string name, std::uint64_t number,
                                   IioBackend::Kind kind, std::shared_ptr<IioBackend::WriteObserver> observer,
                                   std::shared_ptr<IioBackend::NodeOpener> opener, fs::path root)
{
    return std::make_unique<IioDevice>(std::move(folder), std::move(node), std::move(name), number, kind,
                                       std::move(observer), std::move(opener), std::move(root));
}

} // namespace hid::detail::iio
