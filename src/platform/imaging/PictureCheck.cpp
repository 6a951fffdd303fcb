#include "platform/imaging/PictureCheck.h"

#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImageFormat.h"
#include "platform/imaging/JpegCodec.h"

namespace imaging {

bool decodesAsPicture(const QByteArray& data) {
    try {
        switch (sniffImageFormat(data.left(kSniffLength))) {
        case ImageFormat::Jpeg:
            // The smallest scale still walks every scan, so a cut-off file shows.
            return !decodeJpeg(data, DecodeTarget::fill(QSize(1, 1))).isNull();
        case ImageFormat::Heif:
            // The primary image, not a stored thumbnail, which would decode although the
            // picture itself does not.
            return heifDecodes(data);
        default:
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace imaging
