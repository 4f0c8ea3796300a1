#pragma once

#include <QAbstractButton>

/// An on/off switch: a rounded track with a knob that sits on the right while on. Checkable;
/// clicking or Space flips it.
class SwitchButton final : public QAbstractButton {
    Q_OBJECT

public:
    explicit SwitchButton(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
};
