#include "ui/Prominent.h"

#include <QPushButton>
#include <cmath>

namespace twinslim {

namespace {

double relativeLuminance(const QColor& colour) {
    const auto linear = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

// The accent's hue and saturation at the lightness nearest its own that reads against `text`
// with at least `ratio`, a little beyond it so that antialiased text edges stay legible.
QColor readableAgainst(const QColor& accent, const QColor& text, double ratio) {
    const bool darken = relativeLuminance(text) > 0.5;
    const QColor hsl = accent.toHsl();
    const float hue = std::max(0.0f, hsl.hslHueF()); // an achromatic accent has none
    float lightness = hsl.lightnessF();
    QColor fill = accent.toRgb();
    while (contrastRatio(fill, text) < ratio && lightness > 0.0f && lightness < 1.0f) {
        lightness = darken ? std::max(0.0f, lightness - 0.01f) : std::min(1.0f, lightness + 0.01f);
        fill = QColor::fromHslF(hue, hsl.hslSaturationF(), lightness).toRgb();
    }
    return fill;
}

} // namespace

double contrastRatio(const QColor& a, const QColor& b) {
    const double x = relativeLuminance(a) + 0.05;
    const double y = relativeLuminance(b) + 0.05;
    return std::max(x, y) / std::min(x, y);
}

ProminentColors prominentColors(const QPalette& palette) {
    const QColor accent = palette.color(QPalette::Active, QPalette::Highlight);
    QColor text = palette.color(QPalette::Active, QPalette::HighlightedText);
    text.setAlpha(255);
    ProminentColors colours;
    colours.text = text;
    colours.fill = readableAgainst(accent, text, minimumTextContrast + 0.3);
    // Hovering moves the fill further from the text, never below the minimum.
    const bool lightText = relativeLuminance(text) > 0.5;
    colours.hoverFill = lightText ? colours.fill.darker(112) : colours.fill.lighter(112);
    return colours;
}

void makeProminent(QPushButton* button, const QString& padding, int cornerRadius) {
    const QPalette palette = button->palette();
    const ProminentColors colours = prominentColors(palette);
    // The style sheet takes the style's focus frame away: a ring in the text colour, inside a
    // border that is otherwise the fill's, shows where the keyboard is.
    button->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: %2; border: 2px solid %1; "
                       "border-radius: %6px; padding: %7; }"
                       "QPushButton:hover { background: %3; border-color: %3; }"
                       "QPushButton:focus { border-color: %2; }"
                       "QPushButton:disabled { background: %4; color: %5; border-color: %4; }")
            .arg(colours.fill.name(), colours.text.name(), colours.hoverFill.name(),
                 palette.color(QPalette::Disabled, QPalette::Button).name(),
                 palette.color(QPalette::Disabled, QPalette::ButtonText).name(QColor::HexArgb))
            .arg(cornerRadius)
            .arg(padding));
}

} // namespace twinslim
