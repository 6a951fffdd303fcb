#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

// The symbols the windows show, by their symbol names ("photo.stack", "magnifyingglass",
// "folder", "rectangle.stack.badge.plus", "square.and.arrow.down", "checkmark.circle",
// "checkmark.circle.fill", "circle", "xmark.circle.fill", "exclamationmark.triangle.fill",
// "pencil"). Each has a drawing of its own in the resources, so the window looks complete on a
// system without an icon theme.
namespace twinslim {

// The desktop's icon for the symbol (freedesktop icon-theme name), else the bundled drawing.
// Null for a name that is not one of the symbols.
QIcon symbol(const QString& name);

// The freedesktop icon-theme name used for the symbol; empty when the naming scheme has no
// equivalent and the bundled drawing is always used.
QString symbolThemeName(const QString& name);

// The bundled drawing as a single-colour glyph of `side` × `side` logical pixels in `color`,
// for the places where the colour carries meaning (accent, red, orange, secondary). Theme icons
// are left out here because they come in their own colours. Null for an unknown name.
QPixmap symbolPixmap(const QString& name, int side, const QColor& color,
                     qreal devicePixelRatio = 1.0);

} // namespace twinslim
