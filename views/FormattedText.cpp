#include "views/FormattedText.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>

namespace widgets {

namespace {

constexpr int plainFlags =
    (Qt::AlignHorizontal_Mask & ~Qt::AlignJustify) | Qt::AlignVertical_Mask | Qt::TextSingleLine | Qt::TextWordWrap;

bool laysOutLikeDrawText(const QString& text, int flags, const QPainter& painter)
{
    const QFont& font = painter.font();
    return (flags & ~plainFlags) == 0 && !text.contains(QChar(0x9c)) && painter.layoutDirection() == Qt::LeftToRight &&
           !font.underline() && !font.overline() && !font.strikeOut();
}

} // namespace

FormattedText::FormattedText(const QString& str, const QRectF& r, int tf, const QPainter& painter)
    : text(str)
    , rect(r)
    , flags(tf)
{
    if (!laysOutLikeDrawText(str, tf, painter)) {
        return;
    }
    if (str.isEmpty()) {
        layout = std::make_unique<QTextLayout>(); // no lines: drawText() draws nothing either
        return;
    }
    // The steps of QPainter::drawText(rect, flags, text) for these flags, in its order: line
    // breaks become spaces on a single line and line separators otherwise, tabs spaces; the
    // lines go on whole pixels, then the block and each line are aligned in the rectangle.
    QString shown = str;
    const bool singleLine = (tf & Qt::TextSingleLine) != 0;
    for (QChar& c : shown) {
        if (c == u'\r' || c == u'\t' || (singleLine && c == u'\n')) {
            c = u' ';
        } else if (c == u'\n') {
            c = QChar::LineSeparator;
        }
    }
    const QFont font = painter.font();
    const QFontMetricsF metrics(font);
    layout = std::make_unique<QTextLayout>(shown, font);
    QTextOption option;
    option.setTextDirection(painter.layoutDirection());
    option.setAlignment(Qt::AlignLeft);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);

    const qreal lineWidth = (tf & Qt::TextWordWrap) != 0 ? std::max<qreal>(0, r.width()) : 0x01000000;
    const qreal leading = metrics.leading();
    qreal height = -leading;
    qreal width = 0;
    layout->beginLayout();
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(lineWidth);
        height += leading;
        height = qCeil(height);
        line.setPosition(QPointF(0, height));
        height += line.ascent() + line.descent();
        width = std::max(width, line.naturalTextWidth());
        if (height >= r.height()) {
            break; // lines below the rectangle are clipped away
        }
    }
    layout->endLayout();

    qreal top = 0;
    if ((tf & Qt::AlignBottom) != 0) {
        top = r.height() - height;
    } else if ((tf & Qt::AlignVCenter) != 0) {
        top = (r.height() - height) / 2;
    }
    qreal left = 0;
    if ((tf & Qt::AlignRight) != 0) {
        left = r.width() - width;
    } else if ((tf & Qt::AlignHCenter) != 0) {
        left = (r.width() - width) / 2;
    }
    clipped = !r.contains(QRectF(r.x() + left, r.y() + top, width, height));
    origins.reserve(std::size_t(layout->lineCount()));
    for (int i = 0; i < layout->lineCount(); ++i) {
        const qreal advance = layout->lineAt(i).horizontalAdvance();
        qreal x = 0;
        if ((tf & Qt::AlignRight) != 0) {
            x = r.width() - advance;
        } else if ((tf & Qt::AlignHCenter) != 0) {
            x = (r.width() - advance) / 2;
        }
        origins.emplace_back(r.x() + x, r.y() + top);
    }
}

FormattedText::~FormattedText() = default;

void FormattedText::draw(QPainter& painter) const
{
    if (!layout) {
        painter.drawText(rect, flags, text);
        return;
    }
    if (painter.pen().style() == Qt::NoPen || layout->lineCount() == 0) {
        return;
    }
    if (clipped) {
        painter.save();
        painter.setClipRect(rect, Qt::IntersectClip);
    }
    for (int i = 0; i < layout->lineCount(); ++i) {
        layout->lineAt(i).draw(&painter, origins[std::size_t(i)]);
    }
    if (clipped) {
        painter.restore();
    }
}

} // namespace widgets
