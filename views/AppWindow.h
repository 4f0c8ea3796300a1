#pragma once

#include <QWidget>

class ThwackoViewModel;
class ContentView;
class OnboardingView;

/// The application's one window, "Bonkly": the onboarding until it is completed, then the main
/// window view, switched in place when the flag changes. Closing it only hides it.
class AppWindow : public QWidget {
    Q_OBJECT
public:
    explicit AppWindow(ThwackoViewModel& viewModel, QWidget* parent = nullptr);

    /// The size a newly opened window takes for the flag as it is now.
    QSize defaultSize() const;
    /// Shows and raises the window; a window not on show opens at its default size.
    void open();

    /// The content on show: exactly one of these is non-null.
    ContentView* contentView() const { return content; }
    OnboardingView* onboardingView() const { return onboarding; }

private:
    void followFlag();

    ThwackoViewModel& viewModel;
    ContentView* content = nullptr;
    OnboardingView* onboarding = nullptr;
    bool opened = false;
};

/// Builds the window for the application's view model and shows it.
AppWindow* showAppWindow(ThwackoViewModel& viewModel);
