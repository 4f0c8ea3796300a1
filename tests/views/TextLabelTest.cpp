// Text laid out once and drawn again must look exactly as drawn afresh: the kept layout against
// QPainter::drawText, and a label changed after a paint against a new label in the final state.
#include "views/FormattedText.h"
#include "views/Theme.h"
#include "views/Widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QPainter>
#include <QVBoxLayout>

#include <functional>
#include <memory>
#include <ostream>

namespace {

using theme::TextStyle;

struct DrawCase {
    const char* name;
    const char* text;
    int flags;
    QRectF rect;
    TextStyle style = TextStyle::body;
};

const DrawCase kDrawCases[] = {
    {"LeftLine", "Slap #12", Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, {0, 0, 160, 24}},
    {"RightLine", "0.7268g", Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine, {0, 0, 160, 24}},
    {"CentredLine", "Total Slaps", Qt::AlignCenter | Qt::TextSingleLine, {0, 0, 161, 23}, TextStyle::caption2},
    {"LineWiderThanTheRectIsClipped",
     "Listening for slaps...",
     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
     {0, 0, 60, 20}},
    {"LineTallerThanTheRect", "Bonkly", Qt::AlignCenter | Qt::TextSingleLine, {0, 0, 120, 9}, TextStyle::title2},
    {"LineBreakOnOneLine", "two\nlines", Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, {0, 0, 160, 24}},
    {"TabAndAmpersand", "Save\t& Quit", Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, {0, 0, 160, 24}},
    {"NonLatin", "Ünïcödé ✓ 日本 →", Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, {0, 0, 180, 24}},
    {"Empty", "", Qt::AlignCenter | Qt::TextSingleLine, {0, 0, 160, 24}},
    {"OffsetRect",
     "/media/someone/BACKUP",
     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
     {10.5, 20, 120, 14},
     TextStyle::caption2},
    {"WrappedTopLeft",
     "Yells \"ow!\" when you slap the laptop, louder the harder you slap",
     Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
     {0, 0, 120, 100},
     TextStyle::caption},
    {"WrappedCentredTop",
     "Turn it on in Settings to log charging and AC power changes.",
     Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
     {0, 0, 130, 100},
     TextStyle::caption},
    {"WrappedInARectTooShort",
     "Plug or unplug your laptop, or wait for charging to start or stop.",
     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
     {0, 0, 110, 30}},
    {"WrappedBottomRight",
     "A volume with a rather long name indeed",
     Qt::AlignRight | Qt::AlignBottom | Qt::TextWordWrap,
     {0, 0, 100, 90}},
    {"WrappedWithALineBreak",
     "first line\nsecond line which wraps",
     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
     {0, 0, 90, 90}},
    {"UnbreakableWord",
     "averyveryverylongwordwithoutspaces",
     Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
     {0, 0, 70, 60}},
};

void PrintTo(const DrawCase& c, std::ostream* os) { *os << c.name; }

QImage blank()
{
    QImage image(200, 110, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    return image;
}

void prepare(QPainter& painter, TextStyle style)
{
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(QColor(0x1d, 0x1d, 0x1f));
    painter.setFont(theme::font(style));
}

class FormattedTextDraws : public ::testing::TestWithParam<DrawCase> {};

TEST_P(FormattedTextDraws, ThePixelsOfDrawTextFirstTimeAndAgain)
{
    const DrawCase& c = GetParam();
    const QString text = QString::fromUtf8(c.text);
    QImage expected = blank();
    {
        QPainter painter(&expected);
        prepare(painter, c.style);
        painter.drawText(c.rect, c.flags, text);
    }
    QImage first = blank();
    QImage again = blank();
    QPainter painter(&first);
    prepare(painter, c.style);
    const widgets::FormattedText formatted(text, c.rect, c.flags, painter);
    formatted.draw(painter);
    painter.end();
    QPainter second(&again);
    prepare(second, c.style);
    formatted.draw(second);
    second.end();
    EXPECT_TRUE(first == expected) << "first draw";
    EXPECT_TRUE(again == expected) << "drawn again from the kept layout";
}

INSTANTIATE_TEST_SUITE_P(Texts, FormattedTextDraws, ::testing::ValuesIn(kDrawCases),
                         [](const auto& info) { return std::string(info.param.name); });

/// Everything a label shows, set through its setters.
struct LabelState {
    QString text = QStringLiteral("Listening for slaps...");
    TextStyle style = TextStyle::body;
    QSize size{200, 24};
    bool wrap = false;
    int maxLines = 0;
    Qt::TextElideMode elide = Qt::ElideRight;
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
    qreal minimumScale = 1.0;
};

void apply(widgets::TextLabel& label, const LabelState& s)
{
    label.setTextFont(theme::font(s.style));
    label.setWrapping(s.wrap, s.maxLines);
    label.setElide(s.elide);
    label.setAlignment(s.alignment);
    label.setMinimumScale(s.minimumScale);
    label.setText(s.text);
    label.resize(s.size);
}

const QString kLong = QStringLiteral("/home/someone/Music/Sound effects/very long folder name/slaps");
const QString kSentence = QStringLiteral("Plug or unplug your laptop, or wait for charging to start or stop.");

struct ChangeCase {
    const char* name;
    LabelState before;
    std::function<void(LabelState&)> change;
};

const ChangeCase kChangeCases[] =
    {
        {"Text", {}, [](LabelState& s) { s.text = QStringLiteral("Ready"); }},
        {"TextThatNowElides", {}, [](LabelState& s) { s.text = kLong; }},
        {"NarrowerElides",
         {.text = kLong, .size = {400, 24}},
         [](LabelState& s) {
    s.size = {120, 24};
         }},
        {"WiderShowsAll",
         {.text = kLong, .size = {120, 24}},
         [](LabelState& s) {
    s.size = {400, 24};
         }},
                 {"Taller",
                  {.size = {200, 18}},
                  [](LabelState& s) {
    s.size = {200, 60};
                  }},
    {"Font", {}, [](LabelState& s) { s.style = TextStyle::title3; }},
    {"ElideMode", {.text = kLong, .size = {150, 24}}, [](LabelState& s) { s.elide = Qt::ElideMiddle; }},
    {"Alignment", {}, [](LabelState& s) { s.alignment = Qt::AlignRight | Qt::AlignVCenter; }},
    {"MinimumScale", {.text = kLong, .size = {300, 24}}, [](LabelState& s) { s.minimumScale = 0.7; }},
    {"ShrunkAtANewWidth",
     {.text = kLong, .size = {330, 24}, .minimumScale = 0.7},
     [](LabelState& s) {
    s.size = {280, 24};
     }},
    {"WrappingOn", {.text = kSentence, .size = {140, 80}}, [](LabelState& s) { s.wrap = true; }},
    {"LineLimit", {.text = kSentence, .size = {120, 80}, .wrap = true}, [](LabelState& s) { s.maxLines = 2; }},
    {"WrappedNarrower",
     {.text = kSentence, .size = {200, 80}, .wrap = true, .maxLines = 2},
     [](LabelState& s) {
    s.size = {110, 80};
     }},
    {"WrappedText",
     {.text = kSentence, .size = {140, 80}, .wrap = true},
     [](LabelState& s) { s.text = QStringLiteral("Turn it on in Settings to log mounts and unmounts."); }},
    };

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

QImage picture(widgets::TextLabel& label) { return label.grab().toImage(); }

class LabelChangedAfterAPaint : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(LabelChangedAfterAPaint, LooksLikeANewLabelInItsNewState)
{
    const ChangeCase& c = GetParam();
    LabelState after = c.before;
    c.change(after);

    widgets::TextLabel changed;
    apply(changed, c.before);
    const QImage before = picture(changed);
    picture(changed); // a second paint, from what the first kept
    apply(changed, after);

    widgets::TextLabel fresh;
    apply(fresh, after);
    const QImage expected = picture(fresh);
    ASSERT_FALSE(before == expected) << "the change shows no difference; the case checks nothing";
    EXPECT_TRUE(picture(changed) == expected);
}

INSTANTIATE_TEST_SUITE_P(Labels, LabelChangedAfterAPaint, ::testing::ValuesIn(kChangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

void settle()
{
    for (int i = 0; i < 6; ++i) {
        QApplication::processEvents();
    }
}

// A label whose size hint changes tells its layout, which gives it the room; one on a line
// whose hint stays the same needs no relayout, so the hints must still be right after it.
TEST(TextLabelInALayout, GetsTheWidthOfALongerText)
{
    QWidget window;
    auto* layout = new QHBoxLayout(&window);
    auto* label = new widgets::TextLabel;
    label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    label->setText(QStringLiteral("Slap #12"));
    layout->addWidget(label);
    layout->addStretch(1);
    window.resize(400, 60);
    window.show();
    settle();
    const int narrow = label->width();

    label->setText(QStringLiteral("Slap #13")); // digits are of one width in most fonts: no relayout
    settle();
    EXPECT_EQ(label->width(), label->sizeHint().width());
    label->setText(QStringLiteral("Slap #1,234,567"));
    settle();
    EXPECT_GT(label->width(), narrow);
    EXPECT_EQ(label->width(), label->sizeHint().width());
}

TEST(TextLabelInALayout, WrappedGetsTheHeightOfMoreText)
{
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* label = new widgets::TextLabel;
    label->setWrapping(true);
    label->setText(QStringLiteral("Short"));
    layout->addWidget(label);
    layout->addStretch(1);
    window.resize(150, 300);
    window.show();
    settle();
    const int oneLine = label->height();

    label->setText(kSentence);
    settle();
    EXPECT_GT(label->height(), oneLine);
    EXPECT_EQ(label->height(), label->heightForWidth(label->width()));
}

} // namespace
