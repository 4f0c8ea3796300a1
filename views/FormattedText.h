#pragma once

#include <QPointF>
#include <QRectF>
#include <QString>

#include <memory>
#include <vector>

class QPainter;
class QTextLayout;

namespace widgets {

/// Text laid out once the way QPainter::drawText(rect, flags, text) lays it out (its line breaks,
/// whole-pixel line positions, alignment and clip), so that later paints draw the shaped glyphs
/// again instead of shaping the text anew: the same pixels for a fraction of the work.
///
/// The layout holds for the painter's font and layout direction at construction; callers keep
/// one only while those, the text, the flags and the rectangle stay the same. Flags outside the
/// plain ones (mnemonics, tabs, justification, no clip), text with length variants and
/// right-to-left or decorated fonts are drawn through drawText() itself each time.
class FormattedText {
public:
    FormattedText(const QString& text, const QRectF& rect, int flags, const QPainter& painter);
    ~FormattedText();
    FormattedText(const FormattedText&) = delete;
    FormattedText& operator=(const FormattedText&) = delete;

    void draw(QPainter& painter) const;

private:
    QString text;
    QRectF rect;
    int flags;
    std::unique_ptr<QTextLayout> layout; // null: drawn through drawText()
    std::vector<QPointF> origins;        // of each line
    bool clipped = false;
};

} // namespace widgets
