#pragma once

#include <QColor>
#include <QPalette>
#include <QString>

class QPushButton;

namespace twinslim {

// The accent fill of the window's prominent buttons (the gate's "Grant Photos Access" and
// Step 2) and the text on it. The palette's highlight is often too light for its highlighted
// text; the fill is moved away from the text colour until the two read at the contrast
// minimum, so the button reads in light and dark palettes alike.
struct ProminentColors {
    QColor fill;
    QColor hoverFill;
    QColor text;
};
ProminentColors prominentColors(const QPalette& palette);

// The contrast ratio of two opaque colours as WCAG 2 defines it, 1 to 21.
double contrastRatio(const QColor& a, const QColor& b);
constexpr double minimumTextContrast = 4.5;

// Fills the button with the accent; disabled, it looks like any disabled button. With the
// keyboard focus it shows a ring. `padding` is a style-sheet padding ("6px 26px").
void makeProminent(QPushButton* button, const QString& padding, int cornerRadius);

} // namespace twinslim
