#include "ui/Spinner.h"

#include <QPainter>
#include <QtMath>

namespace twinslim {

namespace {
// One full turn a second.
constexpr int stepIntervalMs = 1000 / Spinner::spokeCount;
} // namespace

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    m_timer.setInterval(stepIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % spokeCount;
        update();
    });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Spinner::setDiameter(int diameter) {
    diameter = std::max(8, diameter);
    if (diameter == m_diameter)
        return;
    m_diameter = diameter;
    updateGeometry();
    update();
}

QSize Spinner::sizeHint() const {
    return {m_diameter, m_diameter};
}

QSize Spinner::minimumSizeHint() const {
    return sizeHint();
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    const qreal outer = side / 2.0;
    const qreal inner = outer * 0.45;
    const qreal thickness = std::max(1.5, side / 12.0);
    QColor colour = palette().color(QPalette::WindowText);
    painter.translate(width() / 2.0, height() / 2.0);
    for (int i = 0; i < spokeCount; ++i) {
        // The brightest spoke is m_step; those behind it fade out.
        const int behind = (m_step - i + spokeCount) % spokeCount;
        colour.setAlphaF(float(1.0 - 0.75 * behind / (spokeCount - 1)));
        painter.setPen(QPen(colour, thickness, Qt::SolidLine, Qt::RoundCap));
        const qreal angle = qDegreesToRadians(i * 360.0 / spokeCount - 90.0);
        const QPointF direction(std::cos(angle), std::sin(angle));
        const qreal cap = thickness / 2.0;
        painter.drawLine(direction * inner, direction * (outer - cap));
    }
}

void Spinner::showEvent(QShowEvent* event) {
    m_timer.start();
    QWidget::showEvent(event);
}

void Spinner::hideEvent(QHideEvent* event) {
    m_timer.stop();
    QWidget::hideEvent(event);
}

} // namespace twinslim
