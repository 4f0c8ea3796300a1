#pragma once

#include "views/SettingsRows.h"

#include <QDialog>
#include <QStringList>

#include <functional>
#include <map>
#include <vector>

class QAbstractButton;
class QLabel;
class QScrollArea;
class QSlider;
class QVBoxLayout;
class SwitchButton;
class ThwackoViewModel;

namespace foundation {
class Bundle;
}

/// The settings sheet: a fixed header ("Settings" and a close button) over a scrolling column of
/// seven cards (Detection, Audio, Preset, USB volumes, Power & charging, Lid creak, About).
///
/// Every control writes its view-model setting the moment it moves and shows the view model's
/// current value after every change it publishes; the sheet itself stores nothing. Closing it
/// (the close button, Escape or the window manager) rolls nothing back. Main thread only.
class SettingsView final : public QDialog {
    Q_OBJECT

public:
    static constexpr int sheetWidth = 420;
    static constexpr int sheetHeight = 720;

    explicit SettingsView(ThwackoViewModel& viewModel, QWidget* parent = nullptr);
    /// The same, with the About card read from `bundle`'s information dictionary.
    SettingsView(ThwackoViewModel& viewModel, const foundation::Bundle& bundle, QWidget* parent = nullptr);
    ~SettingsView() override;

    /// Shows a new sheet, modal over `window`, that deletes itself when closed; `onDismiss` runs
    /// once then.
    static SettingsView* present(QWidget* window, ThwackoViewModel& viewModel, std::function<void()> onDismiss);

    /// The card titles, top to bottom.
    QStringList cardTitles() const { return titles; }
    QScrollArea* scrollArea() const { return scroll; }
    QAbstractButton* closeButton() const { return close; }
    /// The slider of the row titled `title`, or nullptr.
    QSlider* slider(const QString& title) const;
    /// The value text of the slider row titled `title`, or nullptr.
    QLabel* valueLabel(const QString& title) const;
    /// The switch of the row titled `title`, or nullptr.
    SwitchButton* toggle(const QString& title) const;

    /// The About card's rows: the version from the information dictionary's
    /// "CFBundleShortVersionString", the platform and the sensor from "BonklyPlatform" and
    /// "BonklySensor".
    static std::vector<InfoRow> aboutRows(const foundation::Bundle& bundle);
    /// The About card's two credit lines.
    static QStringList credits();

public slots:
    /// Ends the presentation; the presenter learns it through finished().
    void dismiss();

private:
    struct SliderRow {
        const SliderSetting* setting;
        QSlider* slider;
        QLabel* value;
    };
    struct ToggleRow {
        const ToggleSetting* setting;
        SwitchButton* button;
    };

    QWidget* makeHeader();
    QWidget* makeCard(const QString& title, const QString& symbol, int spacing, QVBoxLayout*& rows);
    QWidget* makeSliderRow(const SliderSetting& setting);
    QWidget* makeToggleRow(const ToggleSetting& setting);
    QWidget* makeInfoRow(const InfoRow& row);
    void refresh();

    ThwackoViewModel& viewModel;
    QStringList titles;
    QScrollArea* scroll = nullptr;
    QAbstractButton* close = nullptr;
    std::vector<SliderRow> sliders;
    std::vector<ToggleRow> toggles;
};
