#include "views/Theme.h"

#include <QApplication>
#include <QDateTime>
#include <QFontDatabase>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>

#include <array>
#include <charconv>
#include <cmath>

namespace theme {

namespace {

struct StyleSpec {
    int pixels;
    QFont::Weight weight;
};

StyleSpec spec(TextStyle style)
{
    switch (style) {
    case TextStyle::largeTitle:
        return {28, QFont::Normal};
    case TextStyle::title:
        return {22, QFont::Normal};
    case TextStyle::title2:
        return {18, QFont::Normal};
    case TextStyle::title3:
        return {16, QFont::Normal};
    case TextStyle::headline:
        return {14, QFont::DemiBold};
    case TextStyle::body:
        return {14, QFont::Normal};
    case TextStyle::callout:
        return {13, QFont::Normal};
    case TextStyle::subheadline:
        return {13, QFont::Normal};
    case TextStyle::footnote:
        return {12, QFont::Normal};
    case TextStyle::caption:
        return {12, QFont::Normal};
    case TextStyle::caption2:
        return {11, QFont::Normal};
    }
    return {14, QFont::Normal};
}

struct Pair {
    QRgb light;
    QRgb dark;
};

} // namespace

int pointSize(TextStyle style) { return spec(style).pixels; }

QFont font(TextStyle style, std::optional<QFont::Weight> weight, Design design)
{
    QFont font =
        design == Design::monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QApplication::font();
    const StyleSpec s = spec(style);
    font.setPixelSize(s.pixels);
    font.setWeight(weight.value_or(s.weight));
    if (design == Design::rounded) {
        font.setStyleHint(QFont::SansSerif);
    }
    return font;
}

bool isDark(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

QColor withOpacity(QColor color, qreal opacity)
{
    color.setAlphaF(float(color.alphaF() * opacity));
    return color;
}

QColor color(SystemColor which, const QPalette& palette)
{
    const bool dark = isDark(palette);
    auto pick = [dark](Pair pair) { return QColor::fromRgb(dark ? pair.dark : pair.light); };
    const QColor text = palette.color(QPalette::WindowText);
    // The platform's light orange, yellow, green and cyan are too pale to read as small symbols
    // on a light background; deeper shades keep their meaning at a contrast of 3:1 or more.
    switch (which) {
    case SystemColor::red:
        return pick({0xffe0342a, 0xffff453a});
    case SystemColor::orange:
        return pick({0xffcc7000, 0xffff9f0a});
    case SystemColor::yellow:
        return pick({0xffb88a00, 0xffffd60a});
    case SystemColor::green:
        return pick({0xff1a9a32, 0xff32d74b});
    case SystemColor::blue:
        return pick({0xff007aff, 0xff0a84ff});
    case SystemColor::cyan:
        return pick({0xff1e8fc0, 0xff5ac8f5});
    case SystemColor::purple:
        return pick({0xffa445d6, 0xffbf5af2});
    case SystemColor::pink:
        return pick({0xffff2d55, 0xffff375f});
    case SystemColor::gray:
        return pick({0xff8e8e93, 0xff98989d});
    case SystemColor::primary:
        return text;
    case SystemColor::secondary:
        return withOpacity(text, dark ? 0.62 : 0.6);
    case SystemColor::tertiary:
        return withOpacity(text, dark ? 0.45 : 0.5);
    case SystemColor::quaternary:
        return withOpacity(text, dark ? 0.32 : 0.34);
    case SystemColor::windowBackground:
        return palette.color(QPalette::Window);
    case SystemColor::controlBackground:
        return palette.color(QPalette::Base);
    case SystemColor::separator:
        return withOpacity(text, dark ? 0.16 : 0.12);
    }
    return text;
}

QPalette lightPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0xec, 0xec, 0xec));
    p.setColor(QPalette::WindowText, QColor(0x1d, 0x1d, 0x1f));
    p.setColor(QPalette::Base, QColor(0xff, 0xff, 0xff));
    p.setColor(QPalette::AlternateBase, QColor(0xf4, 0xf4, 0xf5));
    p.setColor(QPalette::Text, QColor(0x1d, 0x1d, 0x1f));
    p.setColor(QPalette::Button, QColor(0xfb, 0xfb, 0xfb));
    p.setColor(QPalette::ButtonText, QColor(0x1d, 0x1d, 0x1f));
    p.setColor(QPalette::Highlight, QColor(0xff, 0x2d, 0x55));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xff));
    p.setColor(QPalette::ToolTipText, QColor(0x1d, 0x1d, 0x1f));
    p.setColor(QPalette::PlaceholderText, QColor(0x1d, 0x1d, 0x1f, 110));
    p.setColor(QPalette::Mid, QColor(0xc8, 0xc8, 0xcc));
    p.setColor(QPalette::Dark, QColor(0xa0, 0xa0, 0xa5));
    p.setColor(QPalette::Light, QColor(0xff, 0xff, 0xff));
    p.setColor(QPalette::Midlight, QColor(0xf0, 0xf0, 0xf0));
    p.setColor(QPalette::Shadow, QColor(0, 0, 0, 60));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, QColor(0x1d, 0x1d, 0x1f, 90));
    }
    return p;
}

QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x26, 0x26, 0x28));
    p.setColor(QPalette::WindowText, QColor(0xf2, 0xf2, 0xf7));
    p.setColor(QPalette::Base, QColor(0x1c, 0x1c, 0x1e));
    p.setColor(QPalette::AlternateBase, QColor(0x24, 0x24, 0x26));
    p.setColor(QPalette::Text, QColor(0xf2, 0xf2, 0xf7));
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3c));
    p.setColor(QPalette::ButtonText, QColor(0xf2, 0xf2, 0xf7));
    p.setColor(QPalette::Highlight, QColor(0xff, 0x37, 0x5f));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3c));
    p.setColor(QPalette::ToolTipText, QColor(0xf2, 0xf2, 0xf7));
    p.setColor(QPalette::PlaceholderText, QColor(0xf2, 0xf2, 0xf7, 110));
    p.setColor(QPalette::Mid, QColor(0x48, 0x48, 0x4a));
    p.setColor(QPalette::Dark, QColor(0x10, 0x10, 0x12));
    p.setColor(QPalette::Light, QColor(0x5a, 0x5a, 0x5e));
    p.setColor(QPalette::Midlight, QColor(0x48, 0x48, 0x4a));
    p.setColor(QPalette::Shadow, QColor(0, 0, 0, 140));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, QColor(0xf2, 0xf2, 0xf7, 90));
    }
    return p;
}

void paintMaterial(QPainter& painter, const QRectF& rect, qreal radius, const QPalette& palette)
{
    const bool dark = isDark(palette);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    painter.fillPath(path, dark ? QColor(255, 255, 255, 20) : QColor(255, 255, 255, 150));
    painter.setPen(QPen(dark ? QColor(255, 255, 255, 22) : QColor(0, 0, 0, 18), 1));
    painter.drawPath(path);
    painter.restore();
}

MaterialPanel::MaterialPanel(qreal radius, QWidget* parent)
    : QWidget(parent)
    , cornerRadius(radius)
{
}

void MaterialPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paintMaterial(painter, rect(), cornerRadius, palette());
}

QString fixed(double value, int decimals)
{
    std::array<char, 64> buffer{};
    if (!std::isfinite(value)) {
        return std::isnan(value) ? QStringLiteral("nan") : (value < 0 ? QStringLiteral("-inf") : QStringLiteral("inf"));
    }
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc{}) {
        return QString::number(value, 'f', decimals); // numbers this wide never reach a view
    }
    return QString::fromLatin1(buffer.data(), result.ptr - buffer.data());
}

QString amplitude(double g) { return fixed(g, 4) + u'g'; }

QString ratio(double value) { return fixed(value, 1) + u'x'; }

QString count(std::int64_t value) { return QString::number(value); }

QString hoursAndMinutesFormat(const QLocale& locale)
{
    // Most locales' short format has no seconds, but some (the C locale's "HH:mm:ss") do: drop
    // seconds and fractions with the separator before them, leaving quoted literals alone.
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == u'\'') {
            quoted = !quoted;
        } else if (!quoted && (c == u's' || c == u'z')) {
            while (i + 1 < format.size() && format.at(i + 1) == c) {
                ++i;
            }
            while (!out.isEmpty() && !out.back().isLetter() && out.back() != u'\'') {
                out.chop(1);
            }
            continue;
        }
        out += c;
    }
    return out.trimmed();
}

QString timeOfDay(foundation::Date date)
{
    const auto when = QDateTime::fromMSecsSinceEpoch(std::llround(date.timeIntervalSince1970() * 1000.0));
    const QLocale locale;
    return locale.toString(when.time(), hoursAndMinutesFormat(locale));
}

} // namespace theme
