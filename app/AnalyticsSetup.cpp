#include "app/AnalyticsSetup.h"

#include "app/TallyAnalyticsClient.h"

#include "analytics/LinuxSystemFacts.h"
#include "analytics/Tally.h"
#include "platform/foundation/NotificationCenter.h"

#include <QGuiApplication>
#include <QScreen>

AnalyticsSetup::AnalyticsSetup(QGuiApplication& app, std::optional<std::string> serverURL)
{
    auto facts = std::make_shared<tally::LinuxSystemFacts>();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect frame = screen->geometry();
        facts->setMainScreenSize(tally::SystemFacts::ScreenSize{double(frame.width()), double(frame.height())});
    }
    tally::SystemFacts::setCurrent(std::move(facts));
    Analytics::setClient(std::make_shared<TallyAnalyticsClient>(std::move(serverURL)));

    active = QGuiApplication::applicationState() == Qt::ApplicationActive;
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &connections,
                     [this](Qt::ApplicationState state) { applicationStateChanged(state); });
}

AnalyticsSetup::~AnalyticsSetup()
{
    // The instances' queues post completions to the main queue; they are drained and stopped here,
    // while it is still bound.
    tally::Tally::shutdown(kDeliveryLimit);
}

void AnalyticsSetup::applicationStateChanged(Qt::ApplicationState state)
{
    const bool nowActive = state == Qt::ApplicationActive;
    if (nowActive == active) {
        return;
    }
    active = nowActive;
    foundation::NotificationCenter::defaultCenter().post(nowActive ? foundation::kApplicationDidBecomeActive
                                                                   : foundation::kApplicationWillResignActive);
}
