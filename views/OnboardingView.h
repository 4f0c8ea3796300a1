#pragma once

#include <QTimer>
#include <QWidget>

#include <cstdint>

class ThwackoViewModel;
class QAbstractButton;

namespace widgets {
class SymbolView;
class TextLabel;
class PillButton;
} // namespace widgets

class HeroIcon;

/// The first-launch onboarding: a sensor check, then a test slap, then "Start Slapping", which
/// ends the onboarding for good and leaves the main window listening.
///
/// Its timers are its own: the delayed steps and the slap test's poll stop when the view leaves
/// the window, so a step that comes due after that never runs.
///
/// The slap test reads its baseline right after it calls start(): start() resets the count
/// when it begins listening afresh and keeps it when listening already runs, so in both cases
/// the first slap counted after the test begins is the test slap.
class OnboardingView : public QWidget {
    Q_OBJECT
public:
    explicit OnboardingView(ThwackoViewModel& viewModel, QWidget* parent = nullptr);

    bool sensorCheckDone() const { return checkDone; }
    bool sensorAvailable() const { return available; }
    /// The check found a sensor that this user may not read (sensorAvailable() is false then).
    bool sensorUnreadable() const { return unreadable; }
    bool waitingForSlap() const { return waiting; }
    bool slapDetected() const { return detected; }

    /// Where the hero draws the logo at rest, in the hero's coordinates.
    QRectF logoFrame() const;

    QSize sizeHint() const override { return {440, 640}; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void appear();
    void disappear();
    void runSensorCheck();
    void startSlapDetection();
    void pollSlapCount();
    void goButtonAction();
    /// Redraws from the four flags; `animated` plays the transitions of a flag's change.
    void refresh(bool animated);

    ThwackoViewModel& viewModel;
    bool checkDone = false;
    bool available = false;
    bool unreadable = false;
    bool waiting = false;
    bool detected = false;
    std::int64_t baseline = 0;

    QTimer checkTimer;
    QTimer detectionTimer;
    QTimer pollTimer;

    HeroIcon* hero = nullptr;
    QWidget* checkingRow = nullptr;
    QWidget* sensorFoundRow = nullptr;
    QWidget* sensorMissingRow = nullptr;
    widgets::TextLabel* sensorMissingHint = nullptr;
    QWidget* sensorUnreadableRow = nullptr;
    widgets::TextLabel* sensorUnreadableHint = nullptr;
    widgets::SymbolView* slapIcon = nullptr;
    widgets::TextLabel* slapHeading = nullptr;
    widgets::TextLabel* slapDetail = nullptr;
    QWidget* waitingRow = nullptr;
    widgets::PillButton* goButton = nullptr;
};
