#include "views/ContentView.h"

#include "ViewModels/ThwackoViewModel.h"
#include "views/FocusRing.h"
#include "views/Symbols.h"
#include "views/TextLabels.h"
#include "views/Widgets.h"

#include <QAbstractButton>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QVBoxLayout>

using theme::SystemColor;
using theme::TextStyle;
using widgets::makeText;
using widgets::SymbolView;
using widgets::TextLabel;
using widgets::Tint;

namespace {

QString fromView(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

QWidget* divider(QWidget* parent) { return new widgets::Separator(parent); }

} // namespace

/// A 12 pt dot in the status colour under a 24 pt halo of it; the colour fades when asked.
class StatusIndicator final : public QWidget {
public:
    explicit StatusIndicator(QWidget* parent)
        : QWidget(parent)
    {
        setFixedSize(24, 24);
    }

    void show(SystemColor role, bool fade)
    {
        if (role == target && shown) {
            return;
        }
        const QColor from = current();
        target = role;
        shown = true;
        if (!fade) {
            progress = 1.0;
            update();
            return;
        }
        start = from;
        widgets::animate(this, 300, [this](qreal t) {
            progress = t;
            update();
        });
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor color = current();
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::withOpacity(color, 0.3));
        painter.drawEllipse(QRectF(0, 0, 24, 24));
        painter.setBrush(color);
        painter.drawEllipse(QRectF(6, 6, 12, 12));
    }

private:
    QColor current() const
    {
        const QColor end = theme::color(target, palette());
        return progress >= 1.0 || !start.isValid() ? end : widgets::mix(start, end, progress);
    }

    SystemColor target = SystemColor::gray;
    QColor start;
    qreal progress = 1.0;
    bool shown = false;
};

/// One sound mode: its symbol over its label, pink and outlined while selected.
class ModeButton final : public QAbstractButton {
public:
    ModeButton(SoundPackType type, QWidget* parent)
        : QAbstractButton(parent)
        , type(type)
    {
        setText(fromView(label(type)));
        setAccessibleName(text());
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        focusring::follow();
    }

    SoundPackType mode() const { return type; }

    void showSelected(bool selected, bool animated)
    {
        setChecked(selected);
        const qreal target = selected ? 1.0 : 0.0;
        if (target == selection) {
            return;
        }
        const qreal from = selection;
        widgets::animate(
            this, animated ? 200 : 0,
            [this, from, target](qreal t) {
            selection = from + (target - from) * t;
            update();
            },
            QEasingCurve::InOutQuad);
    }

    QSize sizeHint() const override { return {56, 18 + 4 + QFontMetrics(labelFont()).height() + 20}; }
    QSize minimumSizeHint() const override { return {40, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor pink = theme::color(SystemColor::pink, palette());
        QColor foreground = widgets::mix(theme::color(SystemColor::secondary, palette()), pink, selection);
        if (!isEnabled()) {
            foreground = theme::withOpacity(foreground, 0.5);
        }
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), 8, 8);
        painter.fillPath(path, theme::withOpacity(pink, 0.15 * selection * (isEnabled() ? 1.0 : 0.6)));
        if (selection > 0) {
            painter.setPen(QPen(theme::withOpacity(pink, selection * (isEnabled() ? 1.0 : 0.5)), 1.5));
            painter.drawPath(path);
        }
        if (focusring::shows(this)) {
            focusring::paint(painter, path, palette());
        }
        const int icon = 18;
        const QFont font = labelFont();
        const int textHeight = QFontMetrics(font).height();
        const qreal top = (height() - (icon + 4 + textHeight)) / 2.0;
        painter.drawPixmap(QPointF((width() - icon) / 2.0, top),
                           symbols::symbolPixmap(std::string(::icon(type)), icon, foreground, devicePixelRatioF()));
        painter.setFont(font);
        painter.setPen(foreground);
        painter.drawText(QRectF(0, top + icon + 4, width(), textHeight), Qt::AlignHCenter | Qt::AlignTop,
                         QFontMetrics(font).elidedText(text(), Qt::ElideRight, width() - 4));
    }

private:
    static QFont labelFont() { return theme::font(TextStyle::caption2, QFont::Medium); }

    SoundPackType type;
    qreal selection = 0.0;
};

/// A statistic: symbol, value and title on the material.
class StatCard final : public theme::MaterialPanel {
public:
    StatCard(const QString& title, QWidget* parent)
        : theme::MaterialPanel(10, parent)
    {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(4, 12, 4, 12);
        layout->setSpacing(6);
        icon = new SymbolView("hand.raised", 20, Tint::of(SystemColor::pink), this);
        layout->addWidget(icon, 0, Qt::AlignHCenter);
        value = makeText(QString(), theme::font(TextStyle::title3, QFont::Bold, theme::Design::monospaced),
                         Tint::of(SystemColor::primary), this);
        value->setAlignment(Qt::AlignCenter);
        value->setMinimumScale(0.7);
        layout->addWidget(value);
        titleLabel = makeText(title, theme::font(TextStyle::caption2), Tint::of(SystemColor::secondary), this);
        titleLabel->setAlignment(Qt::AlignCenter);
        layout->addWidget(titleLabel);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setAccessibleName(title);
    }

    void show(const QString& shown, std::string symbol, SystemColor color)
    {
        value->setText(shown);
        icon->setSymbol(std::move(symbol), Tint::of(color));
        setAccessibleDescription(shown);
    }

    QString valueText() const { return value->text(); }

private:
    SymbolView* icon;
    TextLabel* value;
    TextLabel* titleLabel;
};

ContentView::ContentView(ThwackoViewModel& vm, QWidget* parent)
    : QWidget(parent)
    , viewModel(vm)
{
    setObjectName(QStringLiteral("ContentView"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    split = new QSplitter(Qt::Horizontal, this);
    split->setChildrenCollapsible(false);
    split->setHandleWidth(1);
    QWidget* main = makeMainPanel();
    main->setMinimumWidth(340);
    logPanel = new EventLogPanel(viewModel, split);
    logPanel->setMinimumWidth(300);
    split->addWidget(main);
    split->addWidget(logPanel);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 0);
    split->setSizes({380, 340});
    layout->addWidget(split);
    setMinimumSize(720, 480);

    connect(&viewModel, &ThwackoViewModel::changed, this, &ContentView::refresh);
    refresh();
}

void ContentView::setShowSettings(bool shown)
{
    if (shown == settingsShown) {
        return;
    }
    settingsShown = shown;
    emit showSettingsChanged(shown);
}

EventLogTab ContentView::eventLogTab() const { return logPanel->tab(); }

void ContentView::setEventLogTab(EventLogTab tab) { logPanel->setTab(tab); }

SystemColor ContentView::statusColor() const
{
    if (viewModel.isRunning() && !viewModel.isPaused()) {
        return SystemColor::green;
    }
    if (viewModel.isPaused()) {
        return SystemColor::yellow;
    }
    return SystemColor::gray;
}

QWidget* ContentView::makeMainPanel()
{
    auto* panel = new QWidget(split);
    panel->setObjectName(QStringLiteral("mainPanel"));
    panel->setBackgroundRole(QPalette::Window);
    panel->setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(makeHeaderBar());
    layout->addWidget(divider(panel));

    auto* scroll = new QScrollArea(panel);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    widgets::useSlimScrollBars(scroll);
    scroll->viewport()->setAutoFillBackground(false);
    auto* column = new QWidget;
    column->setAutoFillBackground(false);
    auto* sections = new QVBoxLayout(column);
    sections->setContentsMargins(20, 20, 20, 20);
    sections->setSpacing(20);
    sections->addWidget(makeStatusCard());
    sections->addWidget(makeModeSelector());
    sections->addWidget(makeCustomDirectoryPicker());
    sections->addWidget(makeControlButtons());
    sections->addWidget(makeStatsCards());
    sections->addStretch(1);
    scroll->setWidget(column);
    layout->addWidget(scroll, 1);
    return panel;
}

QWidget* ContentView::makeHeaderBar()
{
    auto* bar = new QWidget;
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(20, 12, 20, 12);
    layout->setSpacing(8);
    auto* logo = new QLabel(bar);
    logo->setFixedSize(32, 32);
    logo->setAlignment(Qt::AlignCenter);
    logo->setPixmap(symbols::imagePixmap("BonklyLogo", QSize(32, 32), devicePixelRatioF()));
    logo->setAccessibleName(tr("Bonkly"));
    auto* title =
        makeText(tr("Bonkly"), theme::font(TextStyle::title2, QFont::Bold), Tint::of(SystemColor::primary), bar);
    auto* group = new QHBoxLayout;
    group->setSpacing(10);
    group->addWidget(logo);
    group->addWidget(title);
    layout->addLayout(group);
    layout->addStretch(1);
    auto* gear = new widgets::SymbolButton("gearshape", 18, Tint::of(SystemColor::secondary), tr("Settings"), bar);
    gear->setObjectName(QStringLiteral("settingsButton"));
    connect(gear, &QAbstractButton::clicked, this, [this] { setShowSettings(true); });
    layout->addWidget(gear);
    return bar;
}

QWidget* ContentView::makeStatusCard()
{
    auto* card = new theme::MaterialPanel(12);
    statusCard = card;
    card->setObjectName(QStringLiteral("statusCard"));
    auto* layout = new QVBoxLayout(card);
    // The indicator's halo reaches 6 pt past its 12 pt dot and takes no part in the layout.
    layout->setContentsMargins(20, 20 - 6, 20, 20);
    layout->setSpacing(0);
    indicator = new StatusIndicator(card);
    layout->addWidget(indicator, 0, Qt::AlignHCenter);
    layout->addSpacing(12 - 6);
    statusText = makeText(QString(), theme::font(TextStyle::headline), Tint::of(SystemColor::secondary), card);
    statusText->setAlignment(Qt::AlignCenter);
    layout->addWidget(statusText);
    errorRow = new QWidget(card);
    auto* errorLayout = new QHBoxLayout(errorRow);
    errorLayout->setContentsMargins(0, 12, 0, 0);
    errorLayout->setSpacing(4);
    errorLayout->addStretch(1);
    auto* errorIcon = new SymbolView("xmark.circle.fill", 13, Tint::of(SystemColor::red), errorRow);
    errorLayout->addWidget(errorIcon, 0, Qt::AlignTop);
    errorText = makeText(QString(), theme::font(TextStyle::caption), Tint::of(SystemColor::red), errorRow);
    errorText->setWrapping(true);
    errorText->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    errorLayout->addWidget(errorText, 0);
    errorLayout->addStretch(1);
    layout->addWidget(errorRow);
    return card;
}

QWidget* ContentView::makeModeSelector()
{
    modeSelector = new QWidget;
    modeSelector->setObjectName(QStringLiteral("modeSelector"));
    auto* layout = new QVBoxLayout(modeSelector);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(makeText(tr("Sound Mode"), theme::font(TextStyle::subheadline, QFont::Medium),
                               Tint::of(SystemColor::secondary), modeSelector));
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    std::size_t slot = 0;
    auto add = [&](SoundPackType type) {
        auto* button = new ModeButton(type, modeSelector);
        connect(button, &QAbstractButton::clicked, this, [this, type] { viewModel.setSelectedMode(type); });
        modeButtons[slot++] = button;
        row->addWidget(button);
    };
    for (SoundPackType type : allCases<SoundPackType>) {
        if (type != SoundPackType::custom) {
            add(type);
        }
    }
    add(SoundPackType::custom);
    layout->addLayout(row);
    modeDescription =
        makeText(QString(), theme::font(TextStyle::caption), Tint::of(SystemColor::tertiary), modeSelector);
    modeDescription->setWrapping(true);
    layout->addWidget(modeDescription);
    return modeSelector;
}

QWidget* ContentView::makeCustomDirectoryPicker()
{
    auto* row = new theme::MaterialPanel(8);
    folderRow = row;
    row->setObjectName(QStringLiteral("customDirectoryPicker"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(8);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(makeText(tr("Custom Audio Directory"), theme::font(TextStyle::subheadline, QFont::Medium),
                              Tint::of(SystemColor::primary), row));
    folderPath = makeText(QString(), theme::font(TextStyle::caption), Tint::of(SystemColor::secondary), row);
    folderPath->setElide(Qt::ElideMiddle);
    folderPath->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    texts->addWidget(folderPath);
    layout->addLayout(texts, 1);
    browseButton = new QPushButton(tr("Browse..."), row);
    browseButton->setAccessibleName(tr("Browse..."));
    connect(browseButton, &QPushButton::clicked, this, [this] { viewModel.selectCustomDirectory(); });
    layout->addWidget(browseButton);
    return row;
}

QWidget* ContentView::makeControlButtons()
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    startStopButton = new widgets::PillButton(true, row);
    startStopButton->setObjectName(QStringLiteral("startStopButton"));
    connect(startStopButton, &QAbstractButton::clicked, this, [this] {
        if (viewModel.isRunning()) {
            viewModel.stop();
        } else {
            viewModel.start();
        }
    });
    pauseButton = new widgets::PillButton(false, row);
    pauseButton->setObjectName(QStringLiteral("pauseButton"));
    connect(pauseButton, &QAbstractButton::clicked, this, [this] { viewModel.togglePause(); });
    layout->addWidget(startStopButton, 1);
    layout->addWidget(pauseButton, 1);
    return row;
}

QWidget* ContentView::makeStatsCards()
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    statCards[0] = new StatCard(tr("Total Slaps"), row);
    statCards[1] = new StatCard(tr("Last Amplitude"), row);
    statCards[2] = new StatCard(tr("Mode"), row);
    for (StatCard* card : statCards) {
        layout->addWidget(card, 1);
    }
    return row;
}

void ContentView::refresh()
{
    const bool running = viewModel.isRunning();
    const bool paused = viewModel.isPaused();
    const SoundPackType mode = viewModel.selectedMode();
    const bool runningChanged = drawn && running != shownRunning;
    const bool modeChanged = drawn && mode != shownMode;

    // Status card.
    indicator->show(statusColor(), runningChanged);
    const QString status = QString::fromStdString(viewModel.statusMessage());
    statusText->setText(status);
    const auto& error = viewModel.errorMessage();
    errorRow->setVisible(error.has_value());
    errorText->setText(error ? QString::fromStdString(*error) : QString());
    statusCard->setAccessibleName(status);
    statusCard->setAccessibleDescription(error ? QString::fromStdString(*error) : QString());

    // Mode selector and folder row.
    for (ModeButton* button : modeButtons) {
        button->showSelected(button->mode() == mode, modeChanged);
    }
    modeSelector->setEnabled(!running);
    modeDescription->setText(fromView(description(mode)));
    if (modeChanged) {
        widgets::animate(modeDescription, 200,
                         [this](qreal t) { modeDescription->setTint(Tint::of(SystemColor::tertiary, t)); });
    }
    folderRow->setVisible(mode == SoundPackType::custom);
    const auto& folder = viewModel.customDirectory();
    if (folder) {
        folderPath->setText(QString::fromStdString(folder->string()));
        folderPath->setTint(Tint::of(SystemColor::secondary));
    } else {
        folderPath->setText(tr("No directory selected"));
        folderPath->setTint(Tint::of(SystemColor::tertiary));
    }
    browseButton->setEnabled(!running);

    // Controls.
    startStopButton->setContent(running ? tr("Stop") : tr("Start"), running ? "stop.fill" : "play.fill");
    startStopButton->setTint(Tint::of(running ? SystemColor::red : SystemColor::pink), runningChanged ? 200 : 0);
    pauseButton->setContent(paused ? tr("Resume") : tr("Pause"), paused ? "play.fill" : "pause.fill");
    pauseButton->setVisible(running);
    if (runningChanged && running) {
        // The second button slides in from the trailing edge while the first narrows.
        const int full = std::max(1, (startStopButton->parentWidget()->width() - 12) / 2);
        widgets::animate(pauseButton, 200, [this, full](qreal t) {
            pauseButton->setMaximumWidth(t >= 1.0 ? QWIDGETSIZE_MAX : std::max(1, int(full * t)));
            pauseButton->setEntrance(t, QPointF(full * 0.5, 0));
        });
    }

    // Statistics.
    statCards[0]->show(theme::count(viewModel.totalSlaps()), "hand.raised", SystemColor::pink);
    statCards[1]->show(theme::amplitude(viewModel.lastAmplitude()), "waveform.path", SystemColor::orange);
    statCards[2]->show(fromView(label(mode)), std::string(icon(mode)), SystemColor::purple);

    logPanel->refresh();
    shownRunning = running;
    shownMode = mode;
    drawn = true;
}
