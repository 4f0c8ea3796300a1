#include "views/OnboardingView.h"

#include "Services/AccelerometerService.h"
#include "Services/Analytics.h"
#include "ViewModels/ThwackoViewModel.h"
#include "views/Symbols.h"
#include "views/TextLabels.h"
#include "views/Theme.h"
#include "views/Widgets.h"

#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

using theme::SystemColor;
using theme::TextStyle;
using widgets::makeText;
using widgets::SymbolView;
using widgets::TextLabel;
using widgets::Tint;

namespace {

/// A symbol and a title in one colour (a label).
QWidget* labelRow(const char* symbol, const QString& title, SystemColor color, QWidget* parent)
{
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(new SymbolView(symbol, 14, Tint::of(color), row));
    auto* label = makeText(title, theme::font(TextStyle::subheadline), Tint::of(color), row);
    label->setWrapping(true);
    layout->addWidget(label, 1);
    row->setAccessibleName(title);
    return row;
}

/// A secondary line that wraps (the hint under a failed check).
TextLabel* hint(const QString& text, QWidget* parent)
{
    auto* label = makeText(text, theme::font(TextStyle::footnote), Tint::of(SystemColor::secondary), parent);
    label->setWrapping(true);
    return label;
}

/// An empty item of fixed height in the column.
QWidget* gap(QWidget* parent)
{
    auto* spacer = new QWidget(parent);
    spacer->setFixedHeight(20);
    return spacer;
}

QWidget* progressRow(const QString& title, QWidget* parent)
{
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(new widgets::Spinner(row));
    layout->addWidget(makeText(title, theme::font(TextStyle::subheadline), Tint::of(SystemColor::gray), row), 1);
    row->setAccessibleName(title);
    return row;
}

/// A card: icon, a column of texts, on white at 0.06 with 12 pt corners.
class CheckCard final : public QWidget {
public:
    CheckCard(SymbolView* icon, QWidget* parent)
        : QWidget(parent)
    {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(16, 16, 16, 16);
        layout->setSpacing(12);
        icon->setParent(this);
        layout->addWidget(icon, 0, Qt::AlignVCenter);
        column = new QVBoxLayout;
        column->setSpacing(4);
        layout->addLayout(column, 1);
    }
    QVBoxLayout* column;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 12, 12);
        painter.fillPath(path, QColor(255, 255, 255, int(0.06 * 255)));
    }
};

} // namespace

/// The logo over a soft glow: pink until the test slap, then green with a wider shadow and a
/// slightly larger logo.
class HeroIcon final : public QWidget {
public:
    /// The logo's frame: at most 200 x 170 and no wider than the hero, centred.
    static constexpr qreal logoMaxWidth = 200;
    static constexpr qreal logoMaxHeight = 170;

    /// Where the logo is drawn in a hero of `w` x `h` at `scale`.
    static QRectF logoRect(int w, int h, qreal scale = 1.0)
    {
        const qreal aspect = symbols::imageAspectRatio("BonklyLogo");
        const QSizeF frame(std::min(logoMaxWidth, qreal(w)), logoMaxHeight);
        const QSizeF logo = QSizeF(aspect, 1.0).scaled(frame, Qt::KeepAspectRatio) * scale;
        const QPointF centre(w / 2.0, h / 2.0);
        return {centre - QPointF(logo.width() / 2, logo.height() / 2), logo};
    }

    explicit HeroIcon(QWidget* parent)
        : QWidget(parent)
    {
        setFixedHeight(176);
        setMinimumWidth(176);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setAccessibleName(tr("Bonkly"));
    }

    void show(bool detected, bool animated)
    {
        const qreal target = detected ? 1.0 : 0.0;
        if (target == glow && target == springValue) {
            return;
        }
        const qreal glowFrom = glow;
        widgets::animate(this, animated ? 300 : 0, [this, glowFrom, target](qreal t) {
            glow = glowFrom + (target - glowFrom) * t;
            update();
        });
        const qreal springFrom = springValue;
        widgets::animate(
            this, animated ? 720 : 0,
            [this, springFrom, target](qreal t) {
            springValue = springFrom + (target - springFrom) * t;
            update();
            },
            widgets::spring(0.45, 0.65));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QPalette dark = theme::darkPalette();
        const QColor pink = theme::color(SystemColor::pink, dark);
        const QColor green = theme::color(SystemColor::green, dark);
        const QPointF centre(width() / 2.0, height() / 2.0);

        QRadialGradient gradient(centre, 88);
        const QColor glowColor = theme::withOpacity(widgets::mix(pink, green, glow), 0.28);
        gradient.setColorAt(24.0 / 88.0, glowColor);
        gradient.setColorAt(1.0, Qt::transparent);
        painter.setPen(Qt::NoPen);
        painter.setBrush(gradient);
        painter.drawEllipse(centre, 88, 88);

        // The logo fits its frame, scaled by 1.0 to 1.04, with a shadow of the state colour.
        const qreal s = std::clamp(springValue, -0.2, 1.4);
        const qreal scale = 1.0 + 0.04 * s;
        const QRectF target = logoRect(width(), height(), scale);
        // The shadow follows the artwork's rounded square: 6/120 in from its edges, corners 26/120.
        const qreal inset = target.width() * 6.0 / 120.0;
        const qreal corner = target.width() * 26.0 / 120.0;
        const QRectF body = target.adjusted(inset, inset, -inset, -inset);
        const qreal radius = 14 + 6 * s;
        const QColor shadow = theme::withOpacity(widgets::mix(pink, green, std::clamp(s, 0.0, 1.0)), 0.45);
        for (int ring = int(radius); ring > 0; ring -= 2) {
            QPainterPath path;
            path.addRoundedRect(body.adjusted(-ring * 0.5, -ring * 0.5, ring * 0.5, ring * 0.5), corner + ring * 0.5,
                                corner + ring * 0.5);
            painter.fillPath(path, theme::withOpacity(shadow, 0.12 * (1.0 - ring / (radius + 1))));
        }
        painter.drawPixmap(target, symbols::imagePixmap("BonklyLogo", target.size().toSize(), devicePixelRatioF()),
                           QRectF());
    }

private:
    qreal glow = 0.0;
    qreal springValue = 0.0;
};

OnboardingView::OnboardingView(ThwackoViewModel& vm, QWidget* parent)
    : QWidget(parent)
    , viewModel(vm)
{
    setObjectName(QStringLiteral("OnboardingView"));
    // A dark screen in any desktop palette.
    QPalette palette = theme::darkPalette();
    palette.setColor(QPalette::Window, Qt::black);
    setPalette(palette);
    setBackgroundRole(QPalette::Window);
    setAutoFillBackground(true);
    setMinimumSize(400, 620);

    checkTimer.setSingleShot(true);
    checkTimer.setInterval(600);
    detectionTimer.setSingleShot(true);
    detectionTimer.setInterval(500);
    pollTimer.setInterval(200);
    connect(&checkTimer, &QTimer::timeout, this, &OnboardingView::runSensorCheck);
    connect(&detectionTimer, &QTimer::timeout, this, &OnboardingView::startSlapDetection);
    connect(&pollTimer, &QTimer::timeout, this, &OnboardingView::pollSlapCount);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    widgets::useSlimScrollBars(scroll);
    scroll->viewport()->setAutoFillBackground(false);
    outer->addWidget(scroll);

    auto* columnWidget = new QWidget;
    columnWidget->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(columnWidget);
    column->setContentsMargins(32, 0, 32, 0);
    column->setSpacing(28);
    // The gaps are items of the column, so its spacing lies on both sides of them too (a layout
    // adds no spacing next to a plain spacer).
    column->addWidget(gap(columnWidget));

    hero = new HeroIcon(columnWidget);
    hero->setObjectName(QStringLiteral("heroIcon"));
    column->addWidget(hero);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(8);
    QFont titleFont = theme::font(TextStyle::body, QFont::Bold);
    titleFont.setPixelSize(28);
    auto* title = makeText(tr("So... you want to\nslap your laptop?"), titleFont, Tint::rgb(Qt::white), columnWidget);
    title->setWrapping(true);
    title->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    titles->addWidget(title);
    auto* subtitle = makeText(tr("This won't end well for your laptop."), theme::font(TextStyle::subheadline),
                              Tint::of(SystemColor::gray), columnWidget);
    subtitle->setAlignment(Qt::AlignCenter);
    titles->addWidget(subtitle);
    column->addLayout(titles);

    auto* sensorCard =
        new CheckCard(new SymbolView("magnifyingglass.circle.fill", 24, Tint::of(SystemColor::blue)), columnWidget);
    sensorCard->setObjectName(QStringLiteral("sensorCheckSection"));
    sensorCard->column->addWidget(
        makeText(tr("Can your laptop feel pain?"), theme::font(TextStyle::headline), Tint::rgb(Qt::white), sensorCard));
    checkingRow = progressRow(tr("Checking..."), sensorCard);
    sensorFoundRow =
        labelRow("checkmark.circle.fill", tr("Your laptop can feel. Sorry, laptop."), SystemColor::green, sensorCard);
    sensorMissingRow = labelRow("xmark.circle.fill", tr("No accelerometer found."), SystemColor::red, sensorCard);
    sensorMissingHint = hint(
        tr("This machine may have no motion sensor. To try Bonkly anyway, start it with --sensor replay."), sensorCard);
    sensorUnreadableRow = labelRow("xmark.circle.fill", tr("Found a motion sensor, but this user may not read it."),
                                   SystemColor::red, sensorCard);
    sensorUnreadableHint =
        hint(tr("Install 70-thwacko-sensors.rules (see the README), then open this window again."), sensorCard);
    for (QWidget* row : {checkingRow, sensorFoundRow, sensorMissingRow, static_cast<QWidget*>(sensorMissingHint),
                         sensorUnreadableRow, static_cast<QWidget*>(sensorUnreadableHint)}) {
        sensorCard->column->addWidget(row);
    }
    column->addWidget(sensorCard);

    slapIcon = new SymbolView("hand.wave.fill", 24, Tint::of(SystemColor::yellow));
    auto* slapCard = new CheckCard(slapIcon, columnWidget);
    slapCard->setObjectName(QStringLiteral("slapTestSection"));
    slapHeading = makeText(QString(), theme::font(TextStyle::headline), Tint::of(SystemColor::gray), slapCard);
    slapDetail = makeText(QString(), theme::font(TextStyle::subheadline), Tint::of(SystemColor::gray), slapCard);
    slapDetail->setWrapping(true);
    waitingRow = progressRow(tr("Waiting for a slap..."), slapCard);
    slapCard->column->addWidget(slapHeading);
    slapCard->column->addWidget(slapDetail);
    slapCard->column->addWidget(waitingRow);
    column->addWidget(slapCard);

    goButton = new widgets::PillButton(true, columnWidget);
    goButton->setObjectName(QStringLiteral("goButton"));
    goButton->setContent(tr("Start Slapping"), {});
    goButton->setTint(Tint::of(SystemColor::pink));
    goButton->setVerticalPadding(12);
    connect(goButton, &QAbstractButton::clicked, this, &OnboardingView::goButtonAction);
    column->addWidget(goButton);
    QWidget* bottomGap = gap(columnWidget);
    bottomGap->setObjectName(QStringLiteral("bottomGap"));
    column->addWidget(bottomGap);
    column->addStretch(1);
    scroll->setWidget(columnWidget);

    refresh(false);
}

QRectF OnboardingView::logoFrame() const { return HeroIcon::logoRect(hero->width(), hero->height()); }

void OnboardingView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        appear();
    }
}

void OnboardingView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous()) {
        disappear();
    }
}

void OnboardingView::appear()
{
    Analytics::track("onboarding_shown");
    checkTimer.start();
}

void OnboardingView::disappear()
{
    // Delayed steps belong to the view: none runs once it has left the window.
    checkTimer.stop();
    detectionTimer.stop();
    if (waiting) {
        viewModel.stop();
        waiting = false;
    }
    pollTimer.stop();
}

void OnboardingView::runSensorCheck()
{
    const SensorAvailability found = viewModel.accelerometer().availability();
    available = found == SensorAvailability::available;
    unreadable = found == SensorAvailability::notReadable;
    checkDone = true;
    refresh(true);
    if (available) {
        detectionTimer.start();
    }
}

void OnboardingView::startSlapDetection()
{
    if (waiting) {
        return;
    }
    waiting = true;
    refresh(false);
    viewModel.start();
    baseline = viewModel.totalSlaps();
    pollTimer.start();
}

void OnboardingView::pollSlapCount()
{
    if (viewModel.totalSlaps() > baseline) {
        pollTimer.stop();
        if (!detected) {
            detected = true;
            refresh(true);
        }
    }
    if (!waiting) {
        pollTimer.stop();
    }
}

void OnboardingView::goButtonAction()
{
    viewModel.stop();
    waiting = false;
    pollTimer.stop();
    viewModel.setHasCompletedOnboarding(true);
    viewModel.start();
}

void OnboardingView::refresh(bool animated)
{
    checkingRow->setVisible(!checkDone);
    sensorFoundRow->setVisible(checkDone && available);
    const bool missing = checkDone && !available && !unreadable;
    const bool refused = checkDone && !available && unreadable;
    sensorMissingRow->setVisible(missing);
    sensorMissingHint->setVisible(missing);
    sensorUnreadableRow->setVisible(refused);
    sensorUnreadableHint->setVisible(refused);
    if (animated && checkDone) {
        QWidget* result = available ? sensorFoundRow : unreadable ? sensorUnreadableRow : sensorMissingRow;
        const auto labels = result->findChildren<TextLabel*>();
        const SystemColor color = available ? SystemColor::green : SystemColor::red;
        widgets::animate(result, 400, [labels, color](qreal t) {
            for (TextLabel* label : labels) {
                label->setTint(Tint::of(color, t));
            }
        });
    }

    slapIcon->setSymbol(detected ? "checkmark.circle.fill" : "hand.wave.fill",
                        Tint::of(detected ? SystemColor::green : SystemColor::yellow));
    if (detected) {
        slapHeading->setText(tr("Ouch! That hurt."));
        slapHeading->setTint(Tint::of(SystemColor::green));
        slapDetail->setText(tr("Your laptop felt that. You monster."));
        if (animated) {
            widgets::animate(slapHeading, 300,
                             [this](qreal t) { slapHeading->setTint(Tint::of(SystemColor::green, t)); });
        }
    } else if (waiting) {
        slapHeading->setText(tr("Go ahead. Hit it."));
        slapHeading->setTint(Tint::of(SystemColor::orange));
    } else {
        slapHeading->setText(tr("Go ahead. Hit it."));
        slapHeading->setTint(Tint::of(available ? SystemColor::green : SystemColor::gray));
        slapDetail->setText(tr("Your laptop is waiting. Nervously."));
    }
    slapDetail->setVisible(detected || !waiting);
    waitingRow->setVisible(waiting && !detected);
    hero->show(detected, animated);
    goButton->setVisible(detected);
    if (animated && detected) {
        // Fades in while it rises from the bottom edge, on the spring of the detection.
        widgets::animate(
            goButton, 640, [this](qreal t) { goButton->setEntrance(t, QPointF(0, 36)); }, widgets::spring(0.4, 0.6));
    }
}
