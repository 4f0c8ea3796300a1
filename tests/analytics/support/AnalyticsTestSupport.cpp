#include "AnalyticsTestSupport.h"

#include <fstream>
#include <memory>

namespace analyticstest {

bool threadNamed(const std::string& name)
{
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string text;
        std::getline(comm, text);
        if (text == name) {
            return true;
        }
    }
    return false;
}

std::vector<std::filesystem::path> filesEndingIn(const std::filesystem::path& folder, const std::string& suffix)
{
    std::vector<std::filesystem::path> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
        if (entry.path().string().ends_with(suffix)) {
            found.push_back(entry.path());
        }
    }
    return found;
}

DrainedMainQueue::DrainedMainQueue() { previous = foundation::setMainQueue(this); }

DrainedMainQueue::~DrainedMainQueue()
{
    drain();
    foundation::setMainQueue(previous);
}

void DrainedMainQueue::async(std::function<void()> job)
{
    {
        const std::lock_guard lock(mutex);
        jobs.push_back(std::move(job));
    }
    arrived.notify_all();
}

int DrainedMainQueue::drain()
{
    int ran = 0;
    for (;;) {
        std::function<void()> job;
        {
            const std::lock_guard lock(mutex);
            if (jobs.empty()) {
                return ran;
            }
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        job();
        ++ran;
    }
}

bool DrainedMainQueue::runUntil(const std::function<bool()>& done, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        drain();
        if (done()) {
            return true;
        }
        std::unique_lock lock(mutex);
        if (!arrived.wait_until(lock, deadline, [&] { return !jobs.empty(); })) {
            lock.unlock();
            drain();
            return done();
        }
    }
}

namespace {

struct CaptureSink final : tally::TallyLogging {
    std::mutex mutex;
    std::vector<tally::TallyLogMessage> messages;
    int captures = 0;
    void addMessage(const tally::TallyLogMessage& message) override
    {
        const std::lock_guard lock(mutex);
        if (captures > 0) {
            messages.push_back(message);
        }
    }
};

// Sinks are never removed, so one shared sink serves every capture of the process.
CaptureSink& sink()
{
    static std::shared_ptr<CaptureSink> shared = [] {
        auto made = std::make_shared<CaptureSink>();
        tally::TallyLogger::addLogging(made);
        return made;
    }();
    return *shared;
}

constexpr tally::TallyLogLevel allLevels[] = {tally::TallyLogLevel::debug, tally::TallyLogLevel::info,
                                              tally::TallyLogLevel::warning, tally::TallyLogLevel::error};

} // namespace

LogCapture::LogCapture()
{
    CaptureSink& s = sink();
    {
        const std::lock_guard lock(s.mutex);
        ++s.captures;
        s.messages.clear();
    }
    for (auto level : allLevels) {
        tally::TallyLogger::enableLevel(level);
    }
}

LogCapture::~LogCapture()
{
    CaptureSink& s = sink();
    bool last = false;
    {
        const std::lock_guard lock(s.mutex);
        last = --s.captures == 0;
    }
    if (last) {
        for (auto level : allLevels) {
            tally::TallyLogger::disableLevel(level);
        }
    }
}

std::vector<tally::TallyLogMessage> LogCapture::messages() const
{
    CaptureSink& s = sink();
    const std::lock_guard lock(s.mutex);
    return s.messages;
}

bool LogCapture::contains(tally::TallyLogLevel level, const std::string& fragment) const
{
    for (const auto& message : messages()) {
        if (message.level == level && message.text.find(fragment) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void LogCapture::clear()
{
    CaptureSink& s = sink();
    const std::lock_guard lock(s.mutex);
    s.messages.clear();
}

} // namespace analyticstest
