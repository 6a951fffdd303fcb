#include "platform/imaging/Orientation.h"

#include <QTransform>

namespace imaging {

bool isValidOrientation(int orientation) {
    return orientation >= 1 && orientation <= 8;
}

bool orientationSwapsSides(int orientation) {
    return orientation >= 5 && orientation <= 8;
}

QImage applyOrientation(const QImage& stored, int orientation) {
    // Qt's y axis points down, so rotate(90) turns the picture clockwise on screen.
    const auto rotated = [&](qreal degrees) {
        return stored.transformed(QTransform().rotate(degrees));
    };
    switch (orientation) {
    case 2:
        return stored.mirrored(true, false);
    case 3:
        return rotated(180);
    case 4:
        return stored.mirrored(false, true);
    case 5:
        return rotated(90).mirrored(true, false);
    case 6:
        return rotated(90);
    case 7:
        return rotated(90).mirrored(false, true);
    case 8:
        return rotated(270);
    default:
        return stored;
    }
}

QSize orientedSize(QSize size, int orientation) {
    return orientationSwapsSides(orientation) ? size.transposed() : size;
}

} // namespace imaging
