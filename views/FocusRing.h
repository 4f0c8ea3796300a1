#pragma once

#include <QPainterPath>
#include <QPalette>
#include <QSlider>

class QPainter;
class QWidget;

/// The keyboard focus ring: shown on the focused control only while the user moves the focus
/// with the keyboard (Tab, Backtab, a shortcut), as the desktop's own controls do; a click in the
/// window hides it until the next Tab. Main thread only.
namespace focusring {

/// Starts following clicks, so a click hides the ring (once per application; later calls do
/// nothing). Every control that draws a ring calls it when it is made.
void follow();
/// Whether `widget` has the focus and shows its ring now.
bool shows(const QWidget* widget);
/// Draws the ring along `shape`, in the system's focus colour.
void paint(QPainter& painter, const QPainterPath& shape, const QPalette& palette);

} // namespace focusring

/// A horizontal slider whose filled part takes the accent colour whatever the palette's
/// highlight, with a focus ring around its knob under keyboard focus.
class AccentSlider final : public QSlider {
    Q_OBJECT
public:
    explicit AccentSlider(QWidget* parent = nullptr);
    /// The style's size with room above and below the knob for its ring.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void takeAccent();
};
