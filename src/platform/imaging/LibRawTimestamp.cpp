#include "platform/imaging/LibRawTimestamp.h"

#include "platform/imaging/ExifDate.h"

#include <QDateTime>
#include <QFile>
#include <libraw/libraw.h>
#include <memory>

namespace imaging::detail {

std::optional<QString> libRawCaptureTime(const QString& path, const QByteArray* bytes) {
    try {
        auto processor = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
        // LibRaw may give up after it has read the time (data missing further on), so a time it
        // did read is used whatever open reports.
        if (bytes)
            processor->open_buffer(const_cast<char*>(bytes->constData()),
                                   static_cast<size_t>(bytes->size()));
        else
            processor->open_file(QFile::encodeName(path).constData());
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
