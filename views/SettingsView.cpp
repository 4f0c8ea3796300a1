#include "views/SettingsView.h"

#include "ViewModels/ThwackoViewModel.h"
#include "platform/foundation/Bundle.h"
#include "views/FocusRing.h"
#include "views/SheetStyle.h"
#include "views/SwitchButton.h"
#include "views/Symbols.h"
#include "views/Theme.h"
#include "views/Widgets.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <variant>

namespace {

QLabel* makeText(const QString& text, const QFont& font, const QColor& color, QWidget* parent = nullptr)
{
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
    return label;
}

QFrame* makeDivider()
{
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    QPalette pal = line->palette();
    pal.setColor(QPalette::WindowText, theme::color(theme::SystemColor::separator, pal));
    line->setPalette(pal);
    return line;
}

std::optional<std::string> infoString(const foundation::Bundle& bundle, const std::string& key)
{
    const auto value = bundle.objectForInfoDictionaryKey(key);
    if (!value) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(&value->value)) {
        if (!text->empty()) {
            return *text;
        }
    }
    return std::nullopt;
}

} // namespace

SettingsView::SettingsView(ThwackoViewModel& viewModel, QWidget* parent)
    : SettingsView(viewModel, foundation::Bundle::main(), parent)
{
}

SettingsView::SettingsView(ThwackoViewModel& viewModel, const foundation::Bundle& bundle, QWidget* parent)
    : QDialog(parent, Qt::Sheet)
    , viewModel(viewModel)
{
    setObjectName(QStringLiteral("settingsSheet"));
    setWindowTitle(QStringLiteral("Settings"));
    setFixedSize(sheetWidth, sheetHeight);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, sheetstyle::windowBackground(pal));
    setPalette(pal);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(makeHeader());
    outer->addWidget(makeDivider());

    scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("settingsScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    widgets::useSlimScrollBars(scroll); // as the main window's
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("settingsContent"));
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(20);

    QVBoxLayout* rows = nullptr;
    column->addWidget(makeCard(QStringLiteral("Detection"), QStringLiteral("waveform.path.ecg"), 12, rows));
    rows->addWidget(makeSliderRow(sliderSetting(QStringLiteral("Sensitivity"))));
    rows->addWidget(makeSliderRow(sliderSetting(QStringLiteral("Cooldown"))));

    column->addWidget(makeCard(QStringLiteral("Audio"), QStringLiteral("speaker.wave.3"), 12, rows));
    rows->addWidget(makeToggleRow(toggleSetting(QStringLiteral("Volume Scaling"))));
    rows->addWidget(makeSliderRow(sliderSetting(QStringLiteral("Playback Speed"))));

    column->addWidget(makeCard(QStringLiteral("Preset"), QStringLiteral("dial.low"), 12, rows));
    rows->addWidget(makeToggleRow(toggleSetting(QStringLiteral("Fast Mode"))));

    column->addWidget(makeCard(QStringLiteral("USB volumes"), QStringLiteral("externaldrive"), 12, rows));
    rows->addWidget(makeToggleRow(toggleSetting(QStringLiteral("Log mounts & unmounts"))));

    column->addWidget(makeCard(QStringLiteral("Power & charging"), QStringLiteral("bolt.fill"), 12, rows));
    rows->addWidget(makeToggleRow(toggleSetting(QStringLiteral("Log AC & charging"))));
    rows->addWidget(makeToggleRow(toggleSetting(QStringLiteral("Play sound on charger & battery"))));

    column->addWidget(makeCard(QStringLiteral("Lid creak"), QStringLiteral("laptopcomputer"), 12, rows));
    rows->addWidget(makeToggleRow(toggleSetting(QStringLiteral("Detect lid open & close"))));
    rows->addWidget(makeToggleRow(toggleSetting(QStringLiteral("Play wooden-door creak"))));

    column->addWidget(makeCard(QStringLiteral("About"), QStringLiteral("info.circle"), 8, rows));
    for (const InfoRow& row : aboutRows(bundle)) {
        rows->addWidget(makeInfoRow(row));
    }
    rows->addWidget(makeDivider());
    for (const QString& line : credits()) {
        QLabel* caption = makeText(line, sheetstyle::caption(), sheetstyle::tertiary(palette()));
        caption->setWordWrap(true);
        rows->addWidget(caption);
    }
    column->addStretch(1);

    scroll->setWidget(content);
    outer->addWidget(scroll, 1);

    refresh();
    connect(&viewModel, &ThwackoViewModel::changed, this, &SettingsView::refresh);
}

SettingsView::~SettingsView() = default;

SettingsView* SettingsView::present(QWidget* window, ThwackoViewModel& viewModel, std::function<void()> onDismiss)
{
    auto* sheet = new SettingsView(viewModel, window);
    sheet->setWindowModality(Qt::WindowModal);
    // However the sheet ends (close button, Escape, the window manager, the presenter), it goes
    // away: a rejected dialog is only hidden, whatever its delete-on-close flag says.
    connect(sheet, &QDialog::finished, sheet, [sheet, onDismiss = std::move(onDismiss)](int) {
        sheet->deleteLater();
        if (onDismiss) {
            onDismiss();
        }
    });
    if (window != nullptr) {
        // Hung from the top of the window, like a sheet.
        const QRect frame = window->geometry();
        sheet->move(frame.center().x() - sheetWidth / 2, frame.top());
    }
    sheet->open();
    return sheet;
}

void SettingsView::dismiss() { reject(); }

QWidget* SettingsView::makeHeader()
{
    auto* header = new QWidget;
    header->setObjectName(QStringLiteral("settingsHeader"));
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(24, 16, 24, 16);
    row->addWidget(makeText(QStringLiteral("Settings"), sheetstyle::title2Bold(), sheetstyle::primary(palette())));
    row->addStretch(1);

    const int side = QFontMetrics(sheetstyle::title3()).height();
    auto* button = new widgets::SymbolButton("xmark.circle.fill", side,
                                             widgets::Tint::of(theme::SystemColor::secondary), QStringLiteral("Close"));
    button->setObjectName(QStringLiteral("settingsClose"));
    button->setToolTip(QString()); // no help text
    button->setFocusPolicy(Qt::TabFocus);
    connect(button, &QAbstractButton::clicked, this, &SettingsView::dismiss);
    row->addWidget(button);
    close = button;
    return header;
}

QWidget* SettingsView::makeCard(const QString& title, const QString& symbol, int spacing, QVBoxLayout*& rows)
{
    titles << title;
    auto* card = new theme::MaterialPanel(10);
    card->setObjectName(QStringLiteral("card.") + title);
    rows = new QVBoxLayout(card);
    rows->setContentsMargins(16, 16, 16, 16);
    rows->setSpacing(spacing);

    // The heading: the symbol and the title, both pink, shown verbatim.
    auto* heading = new QWidget;
    heading->setObjectName(QStringLiteral("sectionHeader"));
    auto* line = new QHBoxLayout(heading);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(6);
    const QFont font = sheetstyle::subheadlineSemibold();
    const QColor pink = sheetstyle::accent(palette());
    auto* icon = new QLabel;
    const int side = QFontMetrics(font).height();
    icon->setPixmap(symbols::symbolPixmap(symbol.toStdString(), side, pink, devicePixelRatioF()));
    line->addWidget(icon);
    line->addWidget(makeText(title, font, pink));
    line->addStretch(1);
    rows->addWidget(heading);
    return card;
}

QWidget* SettingsView::makeSliderRow(const SliderSetting& setting)
{
    auto* row = new QWidget;
    auto* stack = new QVBoxLayout(row);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(6);
    const QPalette pal = palette();

    auto* titleLine = new QHBoxLayout;
    titleLine->addWidget(makeText(setting.title, sheetstyle::subheadline(), sheetstyle::primary(pal)));
    titleLine->addStretch(1);
    QLabel* value = makeText({}, sheetstyle::captionMonospaced(), sheetstyle::secondary(pal));
    value->setObjectName(QStringLiteral("value.") + setting.title);
    titleLine->addWidget(value);
    stack->addLayout(titleLine);

    auto* sliderLine = new QHBoxLayout;
    sliderLine->addWidget(makeText(setting.sliderLabel, font(), sheetstyle::primary(pal)));
    auto* slider = new AccentSlider;
    slider->setObjectName(QStringLiteral("slider.") + setting.title);
    slider->setAccessibleName(setting.sliderLabel);
    slider->setRange(0, setting.positions() - 1);
    slider->setSingleStep(1);
    slider->setPageStep(std::max(1, setting.positions() / 10));
    sliderLine->addWidget(slider, 1);
    stack->addLayout(sliderLine);

    auto* hints = new QHBoxLayout;
    hints->addWidget(makeText(setting.lowHint, sheetstyle::caption2(), sheetstyle::tertiary(pal)));
    hints->addStretch(1);
    hints->addWidget(makeText(setting.highHint, sheetstyle::caption2(), sheetstyle::tertiary(pal)));
    stack->addLayout(hints);

    const SliderSetting* bound = &setting;
    connect(slider, &QSlider::valueChanged, this, [this, bound](int position) {
        bound->write(viewModel, bound->valueAt(position));
        refresh();
    });
    sliders.push_back({bound, slider, value});
    return row;
}

QWidget* SettingsView::makeToggleRow(const ToggleSetting& setting)
{
    auto* row = new QWidget;
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(12);
    const QPalette pal = palette();

    auto* label = new QVBoxLayout;
    label->setSpacing(2);
    label->addWidget(makeText(setting.title, sheetstyle::subheadline(), sheetstyle::primary(pal)));
    QLabel* detail = makeText(setting.detail, sheetstyle::caption(), sheetstyle::secondary(pal));
    detail->setWordWrap(true);
    label->addWidget(detail);
    line->addLayout(label, 1);

    auto* button = new SwitchButton;
    button->setObjectName(QStringLiteral("toggle.") + setting.title);
    button->setAccessibleName(setting.title);
    button->setAccessibleDescription(setting.detail);
    line->addWidget(button, 0, Qt::AlignVCenter);

    const ToggleSetting* bound = &setting;
    connect(button, &SwitchButton::toggled, this, [this, bound](bool on) {
        bound->write(viewModel, on);
        refresh();
    });
    toggles.push_back({bound, button});
    return row;
}

QWidget* SettingsView::makeInfoRow(const InfoRow& info)
{
    auto* row = new QWidget;
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    const QPalette pal = palette();
    line->addWidget(makeText(info.label, sheetstyle::subheadline(), sheetstyle::secondary(pal)));
    line->addStretch(1);
    QLabel* value = makeText(info.value, sheetstyle::subheadlineMonospaced(), sheetstyle::primary(pal));
    value->setObjectName(QStringLiteral("info.") + info.label);
    line->addWidget(value);
    return row;
}

void SettingsView::refresh()
{
    for (const SliderRow& row : sliders) {
        const double value = row.setting->read(viewModel);
        const QSignalBlocker blocker(row.slider);
        row.slider->setValue(row.setting->positionOf(value));
        row.value->setText(row.setting->valueText(value));
    }
    for (const ToggleRow& row : toggles) {
        const QSignalBlocker blocker(row.button);
        row.button->setChecked(row.setting->read(viewModel));
    }
}

QSlider* SettingsView::slider(const QString& title) const
{
    for (const SliderRow& row : sliders) {
        if (row.setting->title == title) {
            return row.slider;
        }
    }
    return nullptr;
}

QLabel* SettingsView::valueLabel(const QString& title) const
{
    for (const SliderRow& row : sliders) {
        if (row.setting->title == title) {
            return row.value;
        }
    }
    return nullptr;
}

SwitchButton* SettingsView::toggle(const QString& title) const
{
    for (const ToggleRow& row : toggles) {
        if (row.setting->title == title) {
            return row.button;
        }
    }
    return nullptr;
}

std::vector<InfoRow> SettingsView::aboutRows(const foundation::Bundle& bundle)
{
    auto text = [&](const std::string& key, const char* fallback) {
        return QString::fromStdString(infoString(bundle, key).value_or(fallback));
    };
    return {
        {QStringLiteral("Version"), text("CFBundleShortVersionString", "1.0")},
        {QStringLiteral("Platform"), text("BonklyPlatform", "Linux")},
        {QStringLiteral("Sensor"), text("BonklySensor", "Built-in accelerometer")},
    };
}

QStringList SettingsView::credits()
{
    return {QStringLiteral("Made with Qt, OpenAL Soft and libmpg123."),
            QStringLiteral("Sounds synthesised with espeak-ng and sox. Slap responsibly.")};
}
