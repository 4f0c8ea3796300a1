#include "support/LogCapture.h"

#include <QString>
#include <QtGlobal>

namespace testsupport {

namespace {
std::string activePrefix;
std::vector<std::string>* activeLines = nullptr;
QtMessageHandler previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const std::string category = context.category ? context.category : "";
    if (activeLines && category.starts_with(activePrefix)) {
        activeLines->push_back(category + ": " + message.toStdString());
        return;
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
    activeLines = nullptr;
}

} // namespace testsupport
