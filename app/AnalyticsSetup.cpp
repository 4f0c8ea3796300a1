#include "app/AnalyticsSetup.h"

#include "app/TallyAnalyticsClient.h"

#include "analytics/LinuxSystemFacts.h"
#include "analytics/Tally.h"
#include "platform/foundation/NotificationCenter.h"

#include <QGuiApplication>
#include <QScreen>

AnalyticsSetup::AnalyticsSetup(QGuiApplication& app, std::optional<std::string> serverURL)
    : stateNotifier(foundation::NotificationCenter::defaultCenter(), QGuiApplication::applicationState())
{
    auto facts = std::make_shared<tally::LinuxSystemFacts>();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect frame = screen->geometry();
        facts->setMainScreenSize(tally::SystemFacts::ScreenSize{double(frame.width()), double(frame.height())});
    }
    tally::SystemFacts::setCurrent(std::move(facts));
    Analytics::setClient(std::make_shared<TallyAnalyticsClient>(std::move(serverURL)));

    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &connections,
                     [this](Qt::ApplicationState state) { stateNotifier.stateChanged(state); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &connections,
                     [] { tally::Tally::shutdown(kDeliveryLimit); });
}

AnalyticsSetup::~AnalyticsSetup()
{
    // Without a quit (no event loop ran) the client stops here, while the main queue is still bound.
    tally::Tally::shutdown(kDeliveryLimit);
}
