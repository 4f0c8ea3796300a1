#include "app/AnalyticsLog.h"

#include "analytics/TLDB.h"

#include <QLoggingCategory>
#include <QString>

namespace {
Q_LOGGING_CATEGORY(lcAnalytics, "thwacko.analytics")
}

AnalyticsLog::AnalyticsLog()
{
    tally::TLDB::setProblemHandler(
        [](const std::string& problem) { qCWarning(lcAnalytics).noquote() << QString::fromStdString(problem); });
}

AnalyticsLog::~AnalyticsLog() { tally::TLDB::setProblemHandler(nullptr); }
