#include "platform/imaging/RawOrientation.h"

namespace imaging::rawdetail {

int exifOrientationFromLibRawFlip(int flip) {
    // LibRaw maps the TIFF orientation 1..8 to flip values "0 1 3 2 4 6 7 5"; this undoes it.
    switch (flip & 7) {
    case 1:
        return 2;
    case 2:
        return 4;
    case 3:
        return 3;
    case 4:
        return 5;
    case 5:
        return 8;
    case 6:
        return 6;
    case 7:
        return 7;
    default:
        return 1;
    }
}

} // namespace imaging::rawdetail
