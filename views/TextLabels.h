#pragma once

#include "views/Widgets.h"

#include <QFont>
#include <QString>

namespace widgets {

/// A label showing `content` in `font` and `tint`.
inline TextLabel* makeText(const QString& content, QFont font, Tint tint, QWidget* parent = nullptr)
{
    auto* label = new TextLabel(parent);
    label->setTextFont(font);
    label->setTint(tint);
    label->setText(content);
    return label;
}

} // namespace widgets
