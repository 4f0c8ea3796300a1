#include "views/EventLogPanel.h"

#include "ViewModels/ThwackoViewModel.h"
#include "views/FocusRing.h"
#include "views/FormattedText.h"
#include "views/TextLabels.h"
#include "views/Widgets.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFrame>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <type_traits>

using theme::SystemColor;
using theme::TextStyle;
using widgets::makeText;
using widgets::SymbolView;
using widgets::TextLabel;
using widgets::Tint;

std::string_view rawValue(EventLogTab tab)
{
    switch (tab) {
    case EventLogTab::slaps:
        return "Slaps";
    case EventLogTab::usbVolumes:
        return "USB";
    case EventLogTab::power:
        return "Power";
    }
    return "Slaps";
}

std::optional<EventLogTab> eventLogTabFromRawValue(std::string_view raw)
{
    for (EventLogTab tab : allEventLogTabs) {
        if (rawValue(tab) == raw) {
            return tab;
        }
    }
    return std::nullopt;
}

std::pair<SystemColor, QString> severityStyle(std::string_view severity)
{
    if (severity == "CHOC_MAJEUR") {
        return {SystemColor::red, QStringLiteral("\u2605")};
    }
    if (severity == "CHOC_MOYEN") {
        return {SystemColor::orange, QStringLiteral("\u25B2")};
    }
    if (severity == "MICRO_CHOC") {
        return {SystemColor::yellow, QStringLiteral("\u25B3")};
    }
    if (severity == "VIBRATION") {
        return {SystemColor::blue, QStringLiteral("\u25CF")};
    }
    if (severity == "VIB_LEGERE") {
        return {SystemColor::cyan, QStringLiteral("\u25CB")};
    }
    return {SystemColor::gray, QStringLiteral("\u00B7")};
}

namespace {

QString fromStd(const std::string& text) { return QString::fromStdString(text); }

/// The slap's severity: its symbol on a faint circle of its colour, 24 x 24.
class SeverityBadge final : public QWidget {
public:
    explicit SeverityBadge(QWidget* parent = nullptr)
        : QWidget(parent)
    {
        setFixedSize(24, 24);
    }

    void setSeverity(const std::string& severity)
    {
        setAccessibleName(QString::fromStdString(severity));
        const auto next = severityStyle(severity);
        if (next != style) {
            style = next;
            symbol.reset();
            update();
        }
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor color = theme::color(style.first, palette());
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::withOpacity(color, 0.15));
        painter.drawEllipse(QRectF(rect()));
        painter.setPen(color);
        painter.setFont(theme::font(TextStyle::caption, QFont::Bold));
        // Every row below a new slap moves and repaints; its symbol is shaped only once.
        if (!symbol || symbolFont != painter.font()) {
            symbolFont = painter.font();
            symbol = std::make_unique<widgets::FormattedText>(style.second, QRectF(rect()), Qt::AlignCenter, painter);
        }
        symbol->draw(painter);
    }

private:
    std::pair<SystemColor, QString> style;
    std::unique_ptr<widgets::FormattedText> symbol;
    QFont symbolFont;
};

/// The layout every log row lays its parts out in.
QHBoxLayout* rowLayout(QWidget* row)
{
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(14, 4 + 4, 14, 4 + 4);
    layout->setSpacing(10);
    return layout;
}

QWidget* rowFrame(QWidget* parent, QHBoxLayout*& layout)
{
    auto* row = new QWidget(parent);
    layout = rowLayout(row);
    return row;
}

QWidget* column(QWidget* parent, Qt::Alignment alignment, std::initializer_list<QWidget*> children)
{
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    for (QWidget* child : children) {
        layout->addWidget(child, 0, alignment);
    }
    return box;
}

/// A slap's row: the badge, number and clip, amplitude and time. A row that drops off the end of
/// a full log shows the next new slap, so a slap builds and destroys no widgets.
class SlapRow final : public QWidget {
public:
    SlapRow()
    {
        QHBoxLayout* layout = rowLayout(this);
        badge = new SeverityBadge;
        layout->addWidget(badge, 0, Qt::AlignVCenter);
        title = makeText(QString(), theme::font(TextStyle::subheadline, QFont::Medium), Tint::of(SystemColor::primary));
        file = makeText(QString(), theme::font(TextStyle::caption), Tint::of(SystemColor::secondary));
        auto* left = column(this, Qt::AlignLeft, {title, file});
        left->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        layout->addWidget(left, 1, Qt::AlignVCenter);
        amplitude = makeText(QString(), theme::font(TextStyle::caption, std::nullopt, theme::Design::monospaced),
                             Tint::of(SystemColor::secondary));
        time = makeText(QString(), theme::font(TextStyle::caption2), Tint::of(SystemColor::tertiary));
        amplitude->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        time->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        layout->addWidget(column(this, Qt::AlignRight, {amplitude, time}), 0, Qt::AlignVCenter);
    }

    void setEvent(const SlapEvent& event)
    {
        badge->setSeverity(event.severity());
        title->setText(QObject::tr("Slap #%1").arg(theme::count(event.number())));
        file->setText(fromStd(event.fileName()));
        amplitude->setText(theme::amplitude(event.amplitude()));
        time->setText(theme::timeOfDay(event.timestamp()));
    }

private:
    SeverityBadge* badge;
    TextLabel* title;
    TextLabel* file;
    TextLabel* amplitude;
    TextLabel* time;
};

QWidget* slapRow(const SlapEvent& event)
{
    auto* row = new SlapRow;
    row->setEvent(event);
    return row;
}

void refillSlapRow(QWidget* row, const SlapEvent& event) { static_cast<SlapRow*>(row)->setEvent(event); }

QWidget* usbRow(const VolumeMountEvent& event)
{
    QHBoxLayout* layout = nullptr;
    QWidget* row = rowFrame(nullptr, layout);
    auto* icon = new SymbolView(event.mounted() ? "arrow.down.circle.fill" : "eject.fill", 18,
                                Tint::of(event.mounted() ? SystemColor::green : SystemColor::orange));
    icon->setFrameWidth(28);
    layout->addWidget(icon, 0, Qt::AlignVCenter);
    auto* title = makeText(event.mounted() ? QObject::tr("Mounted") : QObject::tr("Unmounted"),
                           theme::font(TextStyle::subheadline, QFont::Medium), Tint::of(SystemColor::primary));
    title->setWrapping(true);
    auto* name =
        makeText(fromStd(event.volumeName()), theme::font(TextStyle::caption), Tint::of(SystemColor::secondary));
    auto* path = makeText(fromStd(event.path()), theme::font(TextStyle::caption2), Tint::of(SystemColor::tertiary));
    path->setWrapping(true, 2);
    auto* left = column(row, Qt::Alignment(), {title, name, path});
    left->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(left, 1, Qt::AlignVCenter);
    auto* right = new QWidget(row);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->setSpacing(2);
    if (event.isRemovable()) {
        auto* tag =
            makeText(QObject::tr("Removable"), theme::font(TextStyle::caption2), Tint::of(SystemColor::secondary));
        tag->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        rightLayout->addWidget(tag, 0, Qt::AlignRight);
    }
    auto* time = makeText(theme::timeOfDay(event.timestamp()), theme::font(TextStyle::caption2),
                          Tint::of(SystemColor::tertiary));
    time->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    rightLayout->addWidget(time, 0, Qt::AlignRight);
    layout->addWidget(right, 0, Qt::AlignVCenter);
    return row;
}

QWidget* powerRow(const PowerSourceEvent& event)
{
    QHBoxLayout* layout = nullptr;
    QWidget* row = rowFrame(nullptr, layout);
    auto* icon = new SymbolView("powerplug.portrait.fill", 18, Tint::of(SystemColor::yellow));
    icon->setFrameWidth(28);
    layout->addWidget(icon, 0, Qt::AlignVCenter);
    auto* title = makeText(fromStd(event.title()), theme::font(TextStyle::subheadline, QFont::Medium),
                           Tint::of(SystemColor::primary));
    title->setWrapping(true);
    std::vector<QWidget*> lines{title};
    if (event.detail()) {
        auto* detail =
            makeText(fromStd(*event.detail()), theme::font(TextStyle::caption), Tint::of(SystemColor::secondary));
        detail->setWrapping(true);
        lines.push_back(detail);
    }
    auto* left = new QWidget(row);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(2);
    for (QWidget* line : lines) {
        leftLayout->addWidget(line);
    }
    left->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(left, 1, Qt::AlignVCenter);
    auto* time = makeText(theme::timeOfDay(event.timestamp()), theme::font(TextStyle::caption2),
                          Tint::of(SystemColor::tertiary));
    layout->addWidget(time, 0, Qt::AlignVCenter);
    return row;
}

/// A centred symbol, title and hint that fill the tab.
QWidget* emptyState(const char* symbol, const QString& title, const QString& hint, bool centredHint)
{
    auto* state = new QWidget;
    auto* layout = new QVBoxLayout(state);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addStretch(1);
    layout->addWidget(new SymbolView(symbol, 34, Tint::of(SystemColor::quaternary)), 0, Qt::AlignHCenter);
    auto* titleLabel = makeText(title, theme::font(TextStyle::subheadline), Tint::of(SystemColor::tertiary));
    layout->addWidget(titleLabel, 0, Qt::AlignHCenter);
    auto* hintLabel = makeText(hint, theme::font(TextStyle::caption), Tint::of(SystemColor::quaternary));
    if (centredHint) {
        hintLabel->setWrapping(true);
        hintLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        auto* padded = new QWidget(state);
        auto* paddedLayout = new QHBoxLayout(padded);
        paddedLayout->setContentsMargins(16, 0, 16, 0);
        paddedLayout->addWidget(hintLabel);
        layout->addWidget(padded);
    } else {
        layout->addWidget(hintLabel, 0, Qt::AlignHCenter);
    }
    layout->addStretch(1);
    state->setObjectName(QStringLiteral("emptyState"));
    return state;
}

/// A plain list of rows keyed by record id: rows already shown keep their widget.
class RowList final : public QScrollArea {
public:
    explicit RowList(QWidget* parent = nullptr)
        : QScrollArea(parent)
    {
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        widgets::useSlimScrollBars(this);
        auto* content = new QWidget;
        // Opaque in the panel's own colour, so that a new row at the head can move the rows below
        // by copying their pixels; growing at the foot repaints only the new strip.
        content->setBackgroundRole(QPalette::Base);
        content->setAutoFillBackground(true);
        content->setAttribute(Qt::WA_StaticContents);
        rows = new QVBoxLayout(content);
        rows->setContentsMargins(0, 4, 0, 4);
        rows->setSpacing(0);
        // The list grows before its layout places the rows: short of room, the layout would
        // squeeze every row for a moment, moving and repainting them all.
        rows->setSizeConstraint(QLayout::SetMinimumSize);
        rows->addStretch(1);
        setWidget(content);
        viewport()->setAutoFillBackground(false);
        content->setObjectName(QStringLiteral("rows"));
    }

    /// Shows `records` in their order, building rows only for ids not shown yet; with `refill`,
    /// a row whose record left the log shows a new one instead. Rows already in their place are
    /// left alone: a new record at the head of a full log moves one row from the end to the top.
    template <typename Record, typename Builder, typename Refill = std::nullptr_t>
    void sync(const std::vector<Record>& records, Builder build, Refill refill = nullptr)
    {
        std::map<Key, QWidget*> keep;
        for (const Record& record : records) {
            if (auto found = shown.find(record.id().bytes()); found != shown.end()) {
                keep.insert(shown.extract(found));
            }
        }
        // What is left in `shown` are the rows of records gone from the log.
        std::vector<QWidget*> ordered;
        ordered.reserve(records.size());
        for (const Record& record : records) {
            const Key& key = record.id().bytes();
            if (auto found = keep.find(key); found != keep.end()) {
                ordered.push_back(found->second);
                continue;
            }
            QWidget* row = nullptr;
            if constexpr (!std::is_same_v<Refill, std::nullptr_t>) {
                if (!shown.empty()) {
                    row = shown.extract(shown.begin()).mapped();
                    refill(row, record);
                }
            }
            if (!row) {
                row = build(record);
                row->setObjectName(QStringLiteral("row"));
                // Never squeezed, not even for the moment before the list grows to take a new row,
                // which would move and repaint every row on show.
                row->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
            }
            keep.emplace(key, row);
            ordered.push_back(row);
        }
        for (auto& [key, row] : shown) {
            delete row;
        }
        shown = std::move(keep);
        const std::vector<QWidget*> before = shownOrder();
        for (int i = 0; i < int(ordered.size()); ++i) {
            QWidget* row = ordered[std::size_t(i)];
            if (QLayoutItem* item = rows->itemAt(i); !item || item->widget() != row) {
                rows->removeWidget(row);
                rows->insertWidget(i, row);
            }
        }
        shiftForNewHead(before, ordered);
    }

    int rowCount() const { return int(shown.size()); }

private:
    /// The rows in the layout, top first.
    std::vector<QWidget*> shownOrder() const
    {
        std::vector<QWidget*> order;
        order.reserve(std::size_t(rows->count()));
        for (int i = 0; i < rows->count(); ++i) {
            if (QWidget* row = rows->itemAt(i)->widget()) {
                order.push_back(row);
            }
        }
        return order;
    }

    /// When `ordered` is the rows that were on show (`before`) with one more at the head (the
    /// common case: a new record, the oldest row maybe taken over for it), moves the rows down by
    /// the new row's height at once, pixels and all, before the layout runs: it then finds them in
    /// place, and only the new row paints. Anything else is left to the layout, which repaints
    /// what moves.
    void shiftForNewHead(const std::vector<QWidget*>& before, const std::vector<QWidget*>& ordered)
    {
        QWidget* content = widget();
        if (ordered.size() < 2 || !content->isVisible()) {
            return;
        }
        const std::size_t kept = ordered.size() - 1;
        const bool tookOverTheLast = before.size() == ordered.size() && before.back() == ordered.front();
        if ((before.size() != kept && !tookOverTheLast) ||
            !std::equal(ordered.begin() + 1, ordered.end(), before.begin())) {
            return;
        }
        QWidget* head = ordered.front();
        head->ensurePolished(); // a new row has its fonts and style, and so its height, from here on
        const QMargins margins = rows->contentsMargins();
        const int width = content->width() - margins.left() - margins.right();
        const int height = head->hasHeightForWidth() ? head->heightForWidth(width) : head->sizeHint().height();
        const int shift = std::clamp(height, head->minimumHeight(), head->maximumHeight());
        if (shift <= 0) {
            return;
        }
        content->scroll(0, shift);
        // The new row goes where the layout will put it and is shown now, not on the next turn of
        // the loop, so the layout counts it whenever it runs; shown where it was made, a window's
        // size at the list's corner, it would repaint all the list.
        head->setGeometry(margins.left(), margins.top(), width, shift);
        head->show();
    }

    // Keyed by the id's bytes: spelling out every id on every refresh cost more than the rows.
    using Key = std::array<std::uint8_t, 16>;
    QVBoxLayout* rows;
    std::map<Key, QWidget*> shown;
};

} // namespace

/// One tab's content: an empty state (monitoring off, or nothing yet) or the list.
class LogPage final : public QStackedWidget {
public:
    LogPage(QWidget* off, QWidget* none, QWidget* parent)
        : QStackedWidget(parent)
        , list(new RowList(this))
    {
        if (off) {
            addWidget(off);
        }
        addWidget(none);
        addWidget(list);
        offState = off;
        noneState = none;
    }

    template <typename Record, typename Builder>
    void show(bool monitoring, const std::vector<Record>& records, Builder build)
    {
        list->sync(records, build);
        if (!monitoring) {
            setCurrentWidget(offState);
        } else if (records.empty()) {
            setCurrentWidget(noneState);
        } else {
            setCurrentWidget(list);
        }
    }

    RowList* list;
    QWidget* offState = nullptr;
    QWidget* noneState = nullptr;
};

namespace {

/// The tab picker: one segment per tab, the selected one raised.
class Segment final : public QAbstractButton {
public:
    Segment(const QString& title, QWidget* parent)
        : QAbstractButton(parent)
    {
        setText(title);
        setAccessibleName(title);
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setFont(theme::font(TextStyle::subheadline));
        focusring::follow();
    }
    QSize sizeHint() const override { return {fontMetrics().horizontalAdvance(text()) + 24, 24}; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const bool dark = theme::isDark(palette());
        if (isChecked()) {
            QPainterPath path;
            path.addRoundedRect(QRectF(rect()).adjusted(2, 2, -2, -2), 5, 5);
            painter.fillPath(path, dark ? QColor(255, 255, 255, 48) : QColor(255, 255, 255));
            if (!dark) {
                painter.setPen(QPen(QColor(0, 0, 0, 28), 1));
                painter.drawPath(path);
            }
        }
        QFont f = font();
        f.setWeight(isChecked() ? QFont::DemiBold : QFont::Normal);
        painter.setFont(f);
        painter.setPen(theme::color(isChecked() ? SystemColor::primary : SystemColor::secondary, palette()));
        painter.drawText(rect(), Qt::AlignCenter, text());
        if (focusring::shows(this)) {
            QPainterPath ring;
            ring.addRoundedRect(QRectF(rect()).adjusted(1.25, 1.25, -1.25, -1.25), 5, 5);
            focusring::paint(painter, ring, palette());
        }
    }
};

class SegmentTrack final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
        painter.fillPath(path, theme::isDark(palette()) ? QColor(255, 255, 255, 20) : QColor(0, 0, 0, 15));
    }
};

} // namespace

EventLogPanel::EventLogPanel(ThwackoViewModel& vm, QWidget* parent)
    : QWidget(parent)
    , viewModel(vm)
{
    setObjectName(QStringLiteral("eventLogPanel"));
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QWidget(this);
    auto* headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(16, 12, 16, 12);
    headerLayout->setSpacing(8);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(8);
    auto* title = makeText(tr("Event Log"), theme::font(TextStyle::headline), Tint::of(SystemColor::primary), header);
    titleRow->addWidget(title);
    titleRow->addStretch(1);
    clearButton = new widgets::PlainTextButton(tr("Clear"), theme::font(TextStyle::caption),
                                               Tint::of(SystemColor::secondary), header);
    titleRow->addWidget(clearButton);
    headerLayout->addLayout(titleRow);

    segments = new SegmentTrack(header);
    segments->setAccessibleName(tr("Event Log"));
    auto* segmentLayout = new QHBoxLayout(segments);
    segmentLayout->setContentsMargins(1, 1, 1, 1);
    segmentLayout->setSpacing(0);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    for (EventLogTab tab : allEventLogTabs) {
        const std::string_view raw = rawValue(tab);
        auto* segment = new Segment(QString::fromUtf8(raw.data(), qsizetype(raw.size())), segments);
        segment->setChecked(tab == selectedTab);
        segmentLayout->addWidget(segment);
        group->addButton(segment, int(tab));
    }
    connect(group, &QButtonGroup::idClicked, this, [this](int id) { setTab(EventLogTab(id)); });
    headerLayout->addWidget(segments);
    layout->addWidget(header);

    layout->addWidget(new widgets::Separator(this));

    pages = new QStackedWidget(this);
    logPages[0] = new LogPage(
        nullptr, emptyState("tray", tr("No events yet"), tr("Start listening and slap the laptop!"), false), pages);
    logPages[1] = new LogPage(emptyState("externaldrive.badge.xmark", tr("USB monitoring is off"),
                                         tr("Turn it on in Settings to log mounts and unmounts."), true),
                              emptyState("externaldrive", tr("No USB volume events yet"),
                                         tr("Plug or eject a removable drive to see it here."), true),
                              pages);
    logPages[2] =
        new LogPage(emptyState("bolt.slash", tr("Power monitoring is off"),
                               tr("Turn it on in Settings to log charging and AC power changes."), true),
                    emptyState("bolt.circle", tr("No power events yet"),
                               tr("Plug or unplug your laptop, or wait for charging to start or stop."), true),
                    pages);
    for (LogPage* page : logPages) {
        pages->addWidget(page);
    }
    layout->addWidget(pages, 1);

    connect(clearButton, &QAbstractButton::clicked, this, [this] {
        switch (selectedTab) {
        case EventLogTab::slaps:
            viewModel.clearLog();
            break;
        case EventLogTab::usbVolumes:
            viewModel.clearUSBVolumeLog();
            break;
        case EventLogTab::power:
            viewModel.clearPowerSourceLog();
            break;
        }
    });
    refresh();
}

void EventLogPanel::setTab(EventLogTab tab)
{
    selectedTab = tab;
    const auto buttons = segments->findChildren<QAbstractButton*>();
    for (int i = 0; i < buttons.size(); ++i) {
        buttons[i]->setChecked(i == int(tab));
    }
    refresh();
}

void EventLogPanel::refresh()
{
    // An empty slap log has no off state; the list page still clears its rows.
    auto* slaps = logPages[0];
    slaps->list->sync(viewModel.slapEvents(), slapRow, refillSlapRow);
    slaps->setCurrentWidget(viewModel.slapEvents().empty() ? slaps->noneState : static_cast<QWidget*>(slaps->list));
    logPages[1]->show(viewModel.usbVolumeMonitoring(), viewModel.usbVolumeEvents(), usbRow);
    logPages[2]->show(viewModel.powerMonitoring(), viewModel.powerSourceEvents(), powerRow);
    pages->setCurrentIndex(int(selectedTab));
    bool hasEntries = false;
    switch (selectedTab) {
    case EventLogTab::slaps:
        hasEntries = !viewModel.slapEvents().empty();
        break;
    case EventLogTab::usbVolumes:
        hasEntries = !viewModel.usbVolumeEvents().empty();
        break;
    case EventLogTab::power:
        hasEntries = !viewModel.powerSourceEvents().empty();
        break;
    }
    clearButton->setVisible(hasEntries);
}
