#include "platform/imaging/Cr3Metadata.h"

#include "platform/imaging/ExifBlockReader.h"

#include <functional>

namespace imaging::detail {

namespace {

constexpr QByteArrayView
    kCanonUuid("\x85\xC0\xB6\x87\x82\x0F\x11\xE0\x81\x11\xF4\xCE\x46\x2B\x6A\x48", 16);

quint64 bigEndian(QByteArrayView data, qsizetype at, int bytes) {
    quint64 value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | quint8(data[at + i]);
    return value;
}

// Calls `visit(type, payload)` for each box in `data`; a box that runs past the end of the data is
// visited with what there is, and ends the walk.
void forEachBox(QByteArrayView data,
                const std::function<void(QByteArrayView, QByteArrayView, bool)>& visit) {
    qsizetype at = 0;
    while (at + 8 <= data.size()) {
        quint64 size = bigEndian(data, at, 4);
        const QByteArrayView type = data.sliced(at + 4, 4);
        qsizetype header = 8;
        if (size == 1) {
            if (at + 16 > data.size())
                return;
            size = bigEndian(data, at + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = quint64(data.size() - at);
        }
        if (size < quint64(header))
            return;
        const bool complete = size <= quint64(data.size() - at);
        const qsizetype end = complete ? at + qsizetype(size) : data.size();
        visit(type, data.sliced(at + header, end - at - header), complete);
        if (!complete)
            return;
        at = end;
    }
}

} // namespace

Cr3Blocks cr3MetadataBlocks(QByteArrayView file) {
    Cr3Blocks blocks;
    forEachBox(file, [&](QByteArrayView type, QByteArrayView moov, bool) {
        if (type != "moov")
            return;
        forEachBox(moov, [&](QByteArrayView type, QByteArrayView uuid, bool) {
            if (type != "uuid" || !uuid.startsWith(kCanonUuid))
                return;
            forEachBox(uuid.sliced(kCanonUuid.size()),
                       [&](QByteArrayView type, QByteArrayView payload, bool complete) {
                           if (!complete || tiffStart(payload).isEmpty())
                               return;
                           if (type == "CMT1")
                               blocks.ifd0 = payload;
                           else if (type == "CMT2")
                               blocks.exif = payload;
                           else if (type == "CMT4")
                               blocks.gps = payload;
                       });
        });
    });
    return blocks;
}

} // namespace imaging::detail
