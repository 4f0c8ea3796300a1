#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace viewtest {

/// Records every warning and critical message Qt logs while it lives (and passes them on to
/// the handler installed before, so they still show in the test's output), except the offscreen
/// platform's notes on window calls it cannot carry out. One at a time, on the main thread.
class WarningRecorder {
public:
    WarningRecorder()
    {
        active() = this;
        previous = qInstallMessageHandler(&WarningRecorder::handle);
    }
    ~WarningRecorder()
    {
        qInstallMessageHandler(previous);
        active() = nullptr;
    }
    WarningRecorder(const WarningRecorder&) = delete;
    WarningRecorder& operator=(const WarningRecorder&) = delete;

    const QStringList& warnings() const { return recorded; }
    /// The warnings on one line each, for a failure message.
    std::string text() const { return recorded.join(u'\n').toStdString(); }

private:
    static WarningRecorder*& active()
    {
        static WarningRecorder* recorder = nullptr;
        return recorder;
    }

    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        WarningRecorder* self = active();
        if (self == nullptr) {
            return;
        }
        // The headless platform says so for raise() and size hints, which a desktop honours.
        const bool platformNote = message.startsWith(QStringLiteral("This plugin does not support"));
        if ((type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg) && !platformNote) {
            self->recorded << message;
        }
        if (self->previous != nullptr) {
            self->previous(type, context, message);
        }
    }

    QStringList recorded;
    QtMessageHandler previous = nullptr;
};

} // namespace viewtest
