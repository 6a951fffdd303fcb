#include "platform/imaging/LibRawTimestamp.h"

#include "platform/imaging/BoundedRawStream.h"
#include "platform/imaging/ExifDate.h"

#include <QDateTime>
#include <libraw/libraw.h>
#include <memory>

namespace imaging::detail {

std::optional<QString> libRawCaptureTime(const QByteArray& bytes) {
    try {
        BoundedRawStream stream(bytes.constData(), std::size_t(bytes.size()));
        auto processor = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
        // LibRaw may give up after it has read the time (data missing further on), so a time it
        // did read is used whatever open reports.
        processor->open_datastream(&stream);
        const time_t timestamp = processor->imgdata.other.timestamp;
        if (timestamp <= 0)
            return std::nullopt;
        // LibRaw turned the camera's wall-clock text into time_t with mktime, in this process's
        // time zone; converting back in the same zone gives that text again.
        return formatExifDateTime(QDateTime::fromSecsSinceEpoch(timestamp, Qt::LocalTime));
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace imaging::detail
