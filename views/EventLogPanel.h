#pragma once

#include "views/Theme.h"

#include <QString>
#include <QWidget>

#include <array>
#include <optional>
#include <string_view>
#include <utility>

class ThwackoViewModel;
class QStackedWidget;

namespace widgets {
class PlainTextButton;
}

/// The event log's tabs, in segment order.
enum class EventLogTab {
    slaps,
    usbVolumes,
    power,
};

inline constexpr std::array<EventLogTab, 3> allEventLogTabs{EventLogTab::slaps, EventLogTab::usbVolumes,
                                                            EventLogTab::power};
/// "Slaps", "USB" or "Power": the segment's title.
std::string_view rawValue(EventLogTab tab);
/// The tab whose raw value is exactly `raw`.
std::optional<EventLogTab> eventLogTabFromRawValue(std::string_view raw);

/// The colour and the symbol text of a slap's severity badge.
std::pair<theme::SystemColor, QString> severityStyle(std::string_view severity);

class LogPage;

/// The main window's right pane: the title, the Clear button of the tab on show, the tab picker,
/// and the selected log with its empty states. Redraws from the view model on every change; the
/// selected tab is the only state it holds.
class EventLogPanel : public QWidget {
    Q_OBJECT
public:
    explicit EventLogPanel(ThwackoViewModel& viewModel, QWidget* parent = nullptr);

    EventLogTab tab() const { return selectedTab; }
    void setTab(EventLogTab tab);
    /// Redraws from the view model.
    void refresh();

private:
    ThwackoViewModel& viewModel;
    EventLogTab selectedTab = EventLogTab::slaps;
    widgets::PlainTextButton* clearButton = nullptr;
    QWidget* segments = nullptr;
    QStackedWidget* pages = nullptr;
    std::array<LogPage*, 3> logPages{};
};
