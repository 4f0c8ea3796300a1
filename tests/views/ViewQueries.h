#pragma once

// Reading the views as a user (or a screen reader) would: visible texts, buttons by title, and
// accessible names through QAccessible.

#include "views/Widgets.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QWidget>

namespace viewtest {

/// The texts of the visible text labels below `root`, in creation order.
inline QStringList visibleTexts(const QWidget* root)
{
    QStringList texts;
    for (const auto* label : root->findChildren<widgets::TextLabel*>()) {
        if (label->isVisibleTo(root) && !label->text().isEmpty()) {
            texts << label->text();
        }
    }
    return texts;
}

inline bool showsText(const QWidget* root, const QString& text) { return visibleTexts(root).contains(text); }

/// The visible button below `root` whose accessible name is `name`, or nullptr.
inline QAbstractButton* button(const QWidget* root, const QString& name)
{
    for (auto* candidate : root->findChildren<QAbstractButton*>()) {
        if (candidate->isVisibleTo(root) && candidate->accessibleName() == name) {
            return candidate;
        }
    }
    return nullptr;
}

/// The visible symbols below `root`.
inline std::vector<std::string> visibleSymbols(const QWidget* root)
{
    std::vector<std::string> names;
    for (const auto* symbol : root->findChildren<widgets::SymbolView*>()) {
        if (symbol->isVisibleTo(root)) {
            names.push_back(symbol->symbol());
        }
    }
    return names;
}

/// What a screen reader reads as the widget's name.
inline QString accessibleName(QWidget* widget)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

inline QString accessibleDescription(QWidget* widget)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Description) : QString();
}

} // namespace viewtest
