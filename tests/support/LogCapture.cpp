#include "support/LogCapture.h"

#include <QString>
#include <QtGlobal>

#include <mutex>

namespace testsupport {

namespace {
std::string activePrefix;
std::vector<std::string>* activeLines = nullptr;
QtMessageHandler previous = nullptr;
std::mutex linesLock;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const std::string category = context.category ? context.category : "";
    {
        const std::lock_guard lock(linesLock);
        if (activeLines && category.starts_with(activePrefix)) {
            activeLines->push_back(category + ": " + message.toStdString());
            return;
        }
    }
    previous(type, context, message);
}
} // namespace

LogCapture::LogCapture(std::string prefix)
    : prefix(std::move(prefix))
{
    activePrefix = this->prefix;
    activeLines = &captured;
    previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    const std::lock_guard lock(linesLock);
    activeLines = nullptr;
}

std::vector<std::string> LogCapture::lines() const
{
    const std::lock_guard lock(linesLock);
    return captured;
}

void LogCapture::clear()
{
    const std::lock_guard lock(linesLock);
    captured.clear();
}

} // namespace testsupport
