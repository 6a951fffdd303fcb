#pragma once

#include <QTimer>
#include <QWidget>

namespace twinslim {

// An indeterminate progress indicator: twelve spokes whose brightness goes round. It turns
// only while shown, so a hidden one costs nothing.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget* parent = nullptr);

    // Side of the square it draws in, in logical pixels (default 32).
    int diameter() const { return m_diameter; }
    void setDiameter(int diameter);

    // True while the animation runs.
    bool isSpinning() const { return m_timer.isActive(); }
    // Which spoke is brightest, 0…11; advances with each animation step.
    int step() const { return m_step; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    static constexpr int spokeCount = 12;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer m_timer;
    int m_step = 0;
    int m_diameter = 32;
};

} // namespace twinslim
