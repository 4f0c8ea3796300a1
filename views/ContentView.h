#pragma once

#include "Models/SoundPackType.h"
#include "views/EventLogPanel.h"
#include "views/Theme.h"

#include <QWidget>

#include <array>

class ThwackoViewModel;
class QPushButton;
class QSplitter;

namespace widgets {
class PillButton;
class SymbolView;
class TextLabel;
} // namespace widgets

class StatusIndicator;
class ModeButton;
class StatCard;

/// The main window's content once the onboarding is done: the main panel (header, status card,
/// sound-mode selector, custom folder row, controls and statistics) beside the event log.
/// Everything it shows is read from the view model on each change; its own state is whether
/// the settings sheet is asked for and which log tab shows.
class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(ThwackoViewModel& viewModel, QWidget* parent = nullptr);

    /// True while the settings sheet should show; the gear button sets it.
    bool showSettings() const { return settingsShown; }
    void setShowSettings(bool shown);
    EventLogTab eventLogTab() const;
    void setEventLogTab(EventLogTab tab);
    /// The status indicator's colour for the view model's state now.
    theme::SystemColor statusColor() const;

    /// Redraws from the view model.
    void refresh();

signals:
    void showSettingsChanged(bool shown);

private:
    QWidget* makeMainPanel();
    QWidget* makeHeaderBar();
    QWidget* makeStatusCard();
    QWidget* makeModeSelector();
    QWidget* makeCustomDirectoryPicker();
    QWidget* makeControlButtons();
    QWidget* makeStatsCards();

    ThwackoViewModel& viewModel;
    bool settingsShown = false;

    QSplitter* split = nullptr;
    EventLogPanel* logPanel = nullptr;
    QWidget* statusCard = nullptr;
    StatusIndicator* indicator = nullptr;
    widgets::TextLabel* statusText = nullptr;
    QWidget* errorRow = nullptr;
    widgets::TextLabel* errorText = nullptr;
    QWidget* modeSelector = nullptr;
    std::array<ModeButton*, 5> modeButtons{};
    widgets::TextLabel* modeDescription = nullptr;
    QWidget* folderRow = nullptr;
    widgets::TextLabel* folderPath = nullptr;
    QPushButton* browseButton = nullptr;
    widgets::PillButton* startStopButton = nullptr;
    widgets::PillButton* pauseButton = nullptr;
    std::array<StatCard*, 3> statCards{};

    // What the last redraw showed, to know which changes animate.
    bool shownRunning = false;
    SoundPackType shownMode = SoundPackType::pain;
    bool drawn = false;
};
