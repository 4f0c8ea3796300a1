#pragma once

#include "analytics/TallyLogger.h"
#include "platform/foundation/MainQueue.h"
#include "support/TempDir.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace analyticstest {

/// A fresh folder under the temporary folder, removed with its contents on destruction.
using ScratchDir = testsupport::TempDir;

/// A main queue that the test drains on its own thread; bound for the object's lifetime.
class DrainedMainQueue final : public foundation::MainQueue {
public:
    DrainedMainQueue();
    ~DrainedMainQueue() override;

    void async(std::function<void()> job) override;
    /// Runs the jobs posted so far and those they post, until none is left; returns how many ran.
    int drain();
    /// Runs jobs as they arrive until `done()` holds or `limit` passes (a generous bound that only
    /// a broken build reaches); returns `done()`.
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60));

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::function<void()>> jobs;
    foundation::MainQueue* previous = nullptr;
};

/// Whether a thread of this process carries `name` (as set with pthread_setname_np).
bool threadNamed(const std::string& name);

/// The files below `folder` whose names end in `suffix`.
std::vector<std::filesystem::path> filesEndingIn(const std::filesystem::path& folder, const std::string& suffix);

/// Collects every report of the logger; all levels are enabled while one exists.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<tally::TallyLogMessage> messages() const;
    /// Whether a report at `level` holds `fragment`.
    bool contains(tally::TallyLogLevel level, const std::string& fragment) const;
    void clear();
};

} // namespace analyticstest
