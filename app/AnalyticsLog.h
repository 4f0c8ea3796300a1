#pragma once

/// For its life, the analytics client's warnings that a user should see (its store cannot be
/// written or was damaged and replaced, records still unstored at exit) also go to the log
/// category "thwacko.analytics". Any thread may log through it.
class AnalyticsLog {
public:
    AnalyticsLog();
    ~AnalyticsLog();
    AnalyticsLog(const AnalyticsLog&) = delete;
    AnalyticsLog& operator=(const AnalyticsLog&) = delete;
};
