#pragma once

#include <QObject>
#include <QPointer>

class ContentView;
class SettingsView;
class ThwackoViewModel;

/// Presents the settings sheet for the main window view inside `window`: while a ContentView's
/// showSettings is true the sheet shows, modal over the window, editing the live view model;
/// however the sheet closes, showSettings goes back to false. Follows a ContentView that the
/// window creates later (when the onboarding completes). Main thread only.
class SettingsSheetPresenter final : public QObject {
    Q_OBJECT

public:
    SettingsSheetPresenter(QWidget& window, ThwackoViewModel& viewModel);

    /// The sheet on show, or nullptr.
    SettingsView* sheet() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void follow(ContentView* content);
    void present(ContentView* content, bool show);

    QWidget& window;
    ThwackoViewModel& viewModel;
    QPointer<SettingsView> shown;
};
