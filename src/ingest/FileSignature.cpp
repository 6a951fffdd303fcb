#include "ingest/FileSignature.h"

#include "platform/imaging/ExifDate.h"
#include "platform/imaging/ImageFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace twinslim {

namespace {

// ---- Names ----

// Index of the dot that starts the extension of the last path component, or -1. A name whose
// only dot is its first character (".heic") is a hidden file without extension, and a name
// ending with a dot ("photo.") has none either: neither loses anything.
qsizetype extensionDot(QStringView path) {
    const qsizetype nameStart = path.lastIndexOf(u'/') + 1;
    const qsizetype dot = path.lastIndexOf(u'.');
    if (dot <= nameStart || dot == path.size() - 1)
        return -1;
    return dot;
}

// What the final trim removes: space separators (Zs) and tabs, but no line breaks.
bool isTrimmedSpace(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

// ---- Reading bytes ----

// Bounds-checked unsigned integers of 1 to 8 bytes out of a byte range.
class Bytes {
public:
    explicit Bytes(QByteArrayView data, bool littleEndian = false)
        : m_data(data), m_littleEndian(littleEndian) {}

    std::optional<quint64> at(qint64 offset, int count) const {
        if (offset < 0 || count < 0 || count > 8 || offset > m_data.size() - count)
            return std::nullopt;
        quint64 value = 0;
        for (int i = 0; i < count; ++i) {
            const qint64 index = offset + (m_littleEndian ? count - 1 - i : i);
            value = (value << 8) | quint8(m_data[index]);
        }
        return value;
    }
    // Empty when the range does not lie within the data.
    QByteArrayView slice(qint64 offset, qint64 length) const {
        if (offset < 0 || length < 0 || offset > m_data.size() - length)
            return {};
        return m_data.sliced(offset, length);
    }
    qint64 size() const { return m_data.size(); }

private:
    QByteArrayView m_data;
    bool m_littleEndian;
};

// Big-endian fields read one after another; a read past the end clears ok and yields 0.
class Cursor {
public:
    explicit Cursor(QByteArrayView data) : m_bytes(data) {}
    quint64 next(int count) {
        const auto value = m_bytes.at(m_pos, count);
        m_ok = m_ok && value.has_value();
        m_pos += count;
        return value.value_or(0);
    }
    void skip(qint64 count) { m_pos += count; }
    bool ok() const { return m_ok && m_pos <= m_bytes.size(); }

private:
    Bytes m_bytes;
    qint64 m_pos = 0;
    bool m_ok = true;
};

// Header and metadata reads never need more than this at once.
constexpr qint64 kMaxRead = 16 * 1024 * 1024;

// A regular file read by ranges. The first bytes, where the headers usually are, are read at
// once; other ranges on demand, so skipped image data is never read.
class ImageFile {
public:
    explicit ImageFile(const QString& path) {
        // Non-blocking, so that a FIFO with an image's name cannot hang the run; only regular
        // files are read.
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))
            return;
        m_size = st.st_size;
        m_head.resize(std::min<qint64>(m_size, kHeadLength));
        if (!readFully(m_head.data(), m_head.size(), 0))
            m_head.clear();
    }
    ~ImageFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    const QByteArray& head() const { return m_head; }
    qint64 size() const { return m_size; }

    // `length` (> 0) bytes at `offset`; empty when the file has fewer or cannot be read. Valid
    // until the next call.
    QByteArrayView bytes(qint64 offset, qint64 length) {
        if (offset < 0 || length <= 0 || length > kMaxRead || offset > m_size - length)
            return {};
        if (offset + length <= m_head.size())
            return QByteArrayView(m_head).sliced(offset, length);
        // Past the head, whole windows are read: a walk through many small segments then costs
        // a read per window, not one per segment.
        if (offset < m_windowAt || offset + length > m_windowAt + m_window.size()) {
            const qint64 window = std::max(length, std::min(kWindowLength, m_size - offset));
            m_window.resize(window);
            m_windowAt = offset;
            if (!readFully(m_window.data(), window, offset)) {
                m_window.clear();
                return {};
            }
        }
        return QByteArrayView(m_window).sliced(offset - m_windowAt, length);
    }

private:
    static constexpr qint64 kHeadLength = 64 * 1024;
    static constexpr qint64 kWindowLength = 64 * 1024;

    bool readFully(char* to, qint64 length, qint64 offset) const {
        while (length > 0) {
            const ssize_t n = ::pread(m_fd, to, size_t(length), off_t(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            to += n;
            length -= n;
            offset += n;
        }
        return true;
    }

    int m_fd = -1;
    qint64 m_size = 0;
    QByteArray m_head;
    QByteArray m_window; // the bytes at m_windowAt
    qint64 m_windowAt = 0;
};

// ---- EXIF ----

// DateTimeOriginal in exactly "yyyy:MM:dd HH:mm:ss" (up to the field's terminating NUL), at
// `offsetSeconds` when given, else as local wall-clock time. No padding or other separators
// are accepted.
std::optional<QDateTime> parseOriginalDate(QByteArrayView text, std::optional<int> offsetSeconds) {
    if (const qsizetype nul = text.indexOf('\0'); nul >= 0)
        text.truncate(nul);
    constexpr QByteArrayView shape("dddd:dd:dd dd:dd:dd");
    if (text.size() != shape.size())
        return std::nullopt;
    for (qsizetype i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i])
            return std::nullopt;
    return imaging::parseExifDateTime(QString::fromLatin1(text), offsetSeconds);
}

// The entry of `tag` in the IFD at `ifd`: offset of its 12 bytes, or empty.
std::optional<qint64> findIfdEntry(const Bytes& tiff, qint64 ifd, quint16 tag) {
    const auto count = tiff.at(ifd, 2);
    if (!count)
        return std::nullopt;
    for (quint64 i = 0; i < *count; ++i) {
        const qint64 entry = ifd + 2 + qint64(i) * 12;
        const auto entryTag = tiff.at(entry, 2);
        if (!entryTag || tiff.size() - entry < 12)
            return std::nullopt;
        if (*entryTag == tag)
            return entry;
    }
    return std::nullopt;
}

// The original capture date of a TIFF-structured EXIF block: IFD0 → Exif IFD → 0x9003
// (DateTimeOriginal), an ASCII field, at 0x9011 (OffsetTimeOriginal) when that is given: the
// photo library exports each item's time in the zone it was taken in. Digitized and
// modification dates and sub-seconds are not consulted.
std::optional<QDateTime> exifOriginalDate(QByteArrayView tiffData) {
    bool little;
    if (tiffData.startsWith(QByteArrayView("II*\0", 4)))
        little = true;
    else if (tiffData.startsWith(QByteArrayView("MM\0*", 4)))
        little = false;
    else
        return std::nullopt;
    const Bytes tiff(tiffData, little);
    constexpr quint64 kLong = 4, kIfd = 13, kAscii = 2;
    const auto ifd0 = tiff.at(4, 4);
    const auto exifPointer = ifd0 ? findIfdEntry(tiff, qint64(*ifd0), 0x8769) : std::nullopt;
    if (!exifPointer)
        return std::nullopt;
    const auto pointerType = tiff.at(*exifPointer + 2, 2);
    const auto exifIfd = tiff.at(*exifPointer + 8, 4);
    if ((pointerType != kLong && pointerType != kIfd) || !exifIfd)
        return std::nullopt;
    // The text of an ASCII entry, or empty.
    const auto asciiOf = [&](quint16 tag) -> std::optional<QByteArrayView> {
        const auto entry = findIfdEntry(tiff, qint64(*exifIfd), tag);
        if (!entry || tiff.at(*entry + 2, 2) != kAscii)
            return std::nullopt;
        const auto count = tiff.at(*entry + 4, 4);
        if (!count || *count == 0)
            return std::nullopt;
        // Up to four characters are stored in the entry itself, longer text at an offset.
        const auto valueOffset = *count > 4 ? tiff.at(*entry + 8, 4) : quint64(*entry + 8);
        if (!valueOffset)
            return std::nullopt;
        return tiff.slice(qint64(*valueOffset), qint64(*count));
    };
    const auto date = asciiOf(0x9003);
    if (!date)
        return std::nullopt;
    const auto offset = asciiOf(0x9011);
    return parseOriginalDate(*date, offset ? imaging::parseExifOffset(QString::fromLatin1(*offset))
                                           : std::nullopt);
}

// ---- Containers ----

struct ImageHeader {
    qint64 width = 0;
    qint64 height = 0;
    std::optional<QDateTime> date;
};

bool isFrameHeader(quint8 marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// A JPEG's first frame header (SOFn) and its first "Exif" APP1 segment, walking the marker
// segments up to the scan. Empty when the segments break off before a frame header.
std::optional<ImageHeader> readJpeg(ImageFile& file) {
    constexpr QByteArrayView kExifPrefix("Exif\0\0", 6);
    std::optional<ImageHeader> frame;
    std::optional<QDateTime> date;
    bool exifSeen = false;
    qint64 at = 2; // after SOI
    while (!(frame && exifSeen)) {
        const QByteArrayView marker = file.bytes(at, 2);
        if (marker.size() < 2 || quint8(marker[0]) != 0xFF)
            break;
        const quint8 code = quint8(marker[1]);
        if (code == 0xFF) { // fill byte
            ++at;
            continue;
        }
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) { // no length
            at += 2;
            continue;
        }
        if (code == 0xDA || code == 0xD9 || code == 0xD8) // scan, end, or nonsense
            break;
        const auto length = Bytes(file.bytes(at + 2, 2)).at(0, 2);
        if (!length || *length < 2)
            break;
        if (code == 0xE1 && !exifSeen) {
            const QByteArrayView payload = file.bytes(at + 4, qint64(*length) - 2);
            if (payload.startsWith(kExifPrefix)) {
                exifSeen = true;
                date = exifOriginalDate(payload.sliced(kExifPrefix.size()));
            }
        } else if (isFrameHeader(code) && !frame) {
            // precision, height, width
            const Bytes sof(file.bytes(at + 4, 5));
            const auto height = sof.at(1, 2), width = sof.at(3, 2);
            if (!height || !width)
                break;
            frame = ImageHeader{qint64(*width), qint64(*height), {}};
        }
        at += 2 + qint64(*length);
    }
    if (frame)
        frame->date = date;
    return frame;
}

constexpr quint32 fourcc(const char (&code)[5]) {
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16) |
           (quint32(quint8(code[2])) << 8) | quint32(quint8(code[3]));
}

struct Box {
    quint32 type = 0;
    QByteArrayView payload;
};

// The boxes lying one after another in `data`, up to the first malformed one.
std::vector<Box> boxesIn(QByteArrayView data) {
    std::vector<Box> boxes;
    const Bytes bytes(data);
    qint64 at = 0;
    while (const auto size32 = bytes.at(at, 4)) {
        const auto type = bytes.at(at + 4, 4);
        qint64 header = 8;
        std::optional<quint64> size = size32;
        if (size32 == 1u) {
            size = bytes.at(at + 8, 8);
            header = 16;
        } else if (size32 == 0u) {
            size = quint64(data.size() - at);
        }
        if (!type || !size || *size < quint64(header) || *size > quint64(data.size() - at))
            break;
        boxes.push_back({quint32(*type), data.sliced(at + header, qint64(*size) - header)});
        at += qint64(*size);
    }
    return boxes;
}

const Box* findBox(const std::vector<Box>& boxes, quint32 type) {
    const auto it = std::find_if(boxes.begin(), boxes.end(),
                                 [type](const Box& box) { return box.type == type; });
    return it == boxes.end() ? nullptr : &*it;
}

// The children of a full box (version and flags first).
std::vector<Box> fullBoxChildren(QByteArrayView payload, qint64 headerLength) {
    return payload.size() < headerLength ? std::vector<Box>{}
                                         : boxesIn(payload.sliced(headerLength));
}

// The top-level `meta` box of a HEIF file (payload, without the box header); empty if none.
QByteArray heifMetaBox(ImageFile& file) {
    qint64 at = 0;
    while (at < file.size()) {
        const Bytes header(file.bytes(at, std::min<qint64>(16, file.size() - at)));
        const auto size32 = header.at(0, 4), type = header.at(4, 4);
        if (!size32 || !type)
            return {};
        qint64 headerLength = 8;
        qint64 size = qint64(*size32);
        if (size32 == 1u) {
            const auto large = header.at(8, 8);
            if (!large || *large > quint64(file.size()))
                return {};
            size = qint64(*large);
            headerLength = 16;
        } else if (size32 == 0u) {
            size = file.size() - at;
        }
        if (size < headerLength || size > file.size() - at)
            return {};
        if (*type == fourcc("meta"))
            return file.bytes(at + headerLength, size - headerLength).toByteArray();
        at += size;
    }
    return {};
}

// Item data through `iloc`: file extents (construction method 0) or `idat` ones (method 1).
QByteArray heifItemData(ImageFile& file, const std::vector<Box>& meta, quint32 itemId) {
    const Box* iloc = findBox(meta, fourcc("iloc"));
    if (!iloc)
        return {};
    Cursor c(iloc->payload);
    const auto version = c.next(1);
    c.skip(3);
    const int sizes = int(c.next(1)), sizes2 = int(c.next(1));
    const int offsetSize = sizes >> 4, lengthSize = sizes & 15, baseOffsetSize = sizes2 >> 4;
    const int indexSize = (version == 1 || version == 2) ? (sizes2 & 15) : 0;
    if (std::max({offsetSize, lengthSize, baseOffsetSize, indexSize}) > 8) // wider cannot be read
        return {};
    const quint64 itemCount = c.next(version < 2 ? 2 : 4);
    for (quint64 i = 0; i < itemCount && c.ok(); ++i) {
        const quint64 id = c.next(version < 2 ? 2 : 4);
        const quint64 method = (version == 1 || version == 2) ? (c.next(2) & 15) : 0;
        c.skip(2); // data reference index
        const quint64 baseOffset = c.next(baseOffsetSize);
        const quint64 extentCount = c.next(2);
        if (id != itemId) {
            // Stepped over at once: with field sizes of 0 the extents take no bytes, and walking
            // 65535 of them for each of thousands of items would take minutes.
            c.skip(qint64(extentCount) * (indexSize + offsetSize + lengthSize));
            continue;
        }
        QByteArray data;
        for (quint64 e = 0; e < extentCount && c.ok(); ++e) {
            c.skip(indexSize);
            const quint64 offset = baseOffset + c.next(offsetSize);
            quint64 length = c.next(lengthSize);
            if (!c.ok())
                break;
            // A length of 0 means "to the end" of the file or of `idat`.
            QByteArrayView extent;
            if (method == 0) {
                if (length == 0 && offset < quint64(file.size()))
                    length = quint64(file.size()) - offset;
                extent = file.bytes(qint64(offset), qint64(length));
            } else if (method == 1) {
                const Box* idat = findBox(meta, fourcc("idat"));
                const Bytes bytes(idat ? idat->payload : QByteArrayView());
                if (length == 0 && offset < quint64(bytes.size()))
                    length = quint64(bytes.size()) - offset;
                extent = bytes.slice(qint64(offset), qint64(length));
            }
            if (extent.isEmpty() || quint64(extent.size()) != length ||
                data.size() + extent.size() > kMaxRead)
                return {};
            data += extent;
        }
        return c.ok() ? data : QByteArray();
    }
    return {};
}

// The TIFF structure of a HEIF Exif item: after a 4-byte offset to the TIFF header. Some writers
// get the offset wrong; the header is then a little further on.
QByteArrayView heifExifTiff(QByteArrayView item) {
    const auto isTiff = [](QByteArrayView view) {
        return view.startsWith(QByteArrayView("II*\0", 4)) ||
               view.startsWith(QByteArrayView("MM\0*", 4));
    };
    const auto offset = Bytes(item).at(0, 4);
    if (!offset || *offset > quint64(item.size() - 4))
        return {};
    if (isTiff(item.sliced(4 + qint64(*offset))))
        return item.sliced(4 + qint64(*offset));
    for (qsizetype at = 4; at + 4 <= std::min<qsizetype>(item.size(), 68); ++at)
        if (isTiff(item.sliced(at)))
            return item.sliced(at);
    return {};
}

// The primary item of a HEIF file: its `ispe` size and the date of the Exif item that
// describes it (`cdsc` reference). Empty when the file has no primary item.
std::optional<ImageHeader> readHeif(ImageFile& file) {
    const QByteArray metaBox = heifMetaBox(file);
    const std::vector<Box> meta = fullBoxChildren(metaBox, 4);

    const Box* pitm = findBox(meta, fourcc("pitm"));
    if (!pitm)
        return std::nullopt;
    Cursor pitmFields(pitm->payload);
    const quint64 pitmVersion = pitmFields.next(1);
    pitmFields.skip(3);
    const quint64 primary = pitmFields.next(pitmVersion == 0 ? 2 : 4);
    if (!pitmFields.ok())
        return std::nullopt;

    // Items: identifier and type, in file order.
    std::vector<std::pair<quint64, quint32>> items;
    if (const Box* iinf = findBox(meta, fourcc("iinf"))) {
        const qint64 countLength = !iinf->payload.isEmpty() && iinf->payload[0] == 0 ? 2 : 4;
        for (const Box& infe : fullBoxChildren(iinf->payload, 4 + countLength)) {
            Cursor c(infe.payload);
            const quint64 version = c.next(1);
            c.skip(3);
            if (infe.type != fourcc("infe") || version < 2)
                continue;
            const quint64 id = c.next(version == 2 ? 2 : 4);
            c.skip(2); // protection index
            const auto type = quint32(c.next(4));
            if (c.ok())
                items.emplace_back(id, type);
        }
    }
    if (std::none_of(items.begin(), items.end(), [&](const auto& i) { return i.first == primary; }))
        return std::nullopt;

    ImageHeader header;
    bool sized = false;
    // Size: the first `ispe` property associated with the primary item.
    const Box* iprp = findBox(meta, fourcc("iprp"));
    const std::vector<Box> iprpChildren = iprp ? boxesIn(iprp->payload) : std::vector<Box>{};
    const Box* ipco = findBox(iprpChildren, fourcc("ipco"));
    const std::vector<Box> properties = ipco ? boxesIn(ipco->payload) : std::vector<Box>{};
    for (const Box& ipma : iprpChildren) {
        if (ipma.type != fourcc("ipma") || sized)
            continue;
        Cursor c(ipma.payload);
        const quint64 version = c.next(1);
        const bool wideIndex = (c.next(3) & 1) != 0;
        const quint64 entryCount = c.next(4);
        for (quint64 e = 0; e < entryCount && c.ok() && !sized; ++e) {
            const quint64 id = c.next(version < 1 ? 2 : 4);
            const quint64 associations = c.next(1);
            for (quint64 a = 0; a < associations && c.ok(); ++a) {
                const quint64 index = c.next(wideIndex ? 2 : 1) & (wideIndex ? 0x7FFF : 0x7F);
                if (id != primary || index == 0 || index > properties.size())
                    continue;
                const Box& property = properties[index - 1];
                const Bytes ispe(property.payload);
                const auto width = ispe.at(4, 4), height = ispe.at(8, 4);
                if (property.type == fourcc("ispe") && width && height && !sized) {
                    header.width = qint64(*width);
                    header.height = qint64(*height);
                    sized = true;
                }
            }
        }
    }

    // Date: the first Exif item whose `cdsc` reference names the primary item.
    std::vector<quint64> describing;
    if (const Box* iref = findBox(meta, fourcc("iref"))) {
        const int idLength = !iref->payload.isEmpty() && iref->payload[0] == 0 ? 2 : 4;
        for (const Box& reference : fullBoxChildren(iref->payload, 4)) {
            if (reference.type != fourcc("cdsc"))
                continue;
            Cursor c(reference.payload);
            const quint64 from = c.next(idLength);
            const quint64 count = c.next(2);
            for (quint64 i = 0; i < count && c.ok(); ++i)
                if (c.next(idLength) == primary && c.ok())
                    describing.push_back(from);
        }
    }
    for (const auto& [id, type] : items) {
        if (type != fourcc("Exif") ||
            std::find(describing.begin(), describing.end(), id) == describing.end())
            continue;
        header.date = exifOriginalDate(heifExifTiff(heifItemData(file, meta, quint32(id))));
        break;
    }
    return header;
}

} // namespace

QStringList exportExtensions() {
    return {QStringLiteral("heic"), QStringLiteral("heif"), QStringLiteral("jpg"),
            QStringLiteral("jpeg")};
}

QStringList listExportedFiles(const QString& folder) {
    if (folder.isEmpty())
        return {};
    const QStringList names = QDir(folder).entryList(
        QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    const QStringList extensions = exportExtensions();

    struct Entry {
        QList<uint> key; // scalar values of the NFC form
        QString name;
    };
    std::vector<Entry> kept;
    for (const QString& name : names) {
        // A name decoded with replacement characters no longer names the file.
        if (name.contains(QChar::ReplacementCharacter) &&
            !QFileInfo::exists(QDir(folder).filePath(name)))
            continue;
        const qsizetype dot = extensionDot(name);
        if (dot >= 0 && extensions.contains(name.sliced(dot + 1).toLower()))
            kept.push_back({name.normalized(QString::NormalizationForm_C).toUcs4(), name});
    }
    // Canonically equivalent names share a key; the raw names only keep their order stable.
    std::sort(kept.begin(), kept.end(), [](const Entry& a, const Entry& b) {
        return a.key != b.key ? a.key < b.key : a.name < b.name;
    });

    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    QStringList paths;
    paths.reserve(qsizetype(kept.size()));
    for (const Entry& entry : kept)
        paths << prefix + entry.name;
    return paths;
}

QStringList listUndecodableExportNames(const QString& folder) {
    QStringList found;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return found;
    std::vector<QByteArray> names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = utf8(name);
        if (!utf8.hasError())
            continue;
        const qsizetype dot = extensionDot(decoded);
        if (dot >= 0 && exportExtensions().contains(decoded.sliced(dot + 1).toLower()))
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const QByteArray& name : names) {
        // Valid stretches as text, each byte of an invalid one as \xNN.
        QString shown;
        qsizetype i = 0;
        while (i < name.size()) {
            qsizetype length = 1;
            const auto lead = uchar(name[i]);
            if (lead >= 0xC2 && lead <= 0xDF)
                length = 2;
            else if (lead >= 0xE0 && lead <= 0xEF)
                length = 3;
            else if (lead >= 0xF0 && lead <= 0xF4)
                length = 4;
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString piece = i + length <= name.size() ? utf8(name.mid(i, length)) : QString();
            if (lead < 0x80 || (!piece.isEmpty() && !utf8.hasError())) {
                shown += lead < 0x80 ? QString(QChar(lead)) : piece;
                i += lead < 0x80 ? 1 : length;
            } else {
                shown += QStringLiteral("\\x%1").arg(lead, 2, 16, QLatin1Char('0'));
                ++i;
            }
        }
        found << escapedControlCharacters(shown);
    }
    return found;
}

QString escapedControlCharacters(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n')
            out += QStringLiteral("\\n");
        else if (u == u'\r')
            out += QStringLiteral("\\r");
        else if (u == u'\t')
            out += QStringLiteral("\\t");
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u{%1}").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString normalizedBase(const QString& fileName) {
    // Both patterns are anchored with \z: "$" would also match before a final line break.
    static const QRegularExpression copySuffix(QStringLiteral(R"(\s*\(\d+\)\z)"),
                                               QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression numberSuffix(QStringLiteral(R"(\s+\d+\z)"),
                                                 QRegularExpression::UseUnicodePropertiesOption);

    // NFC throughout, so canonically equivalent names give equal bases.
    QString base = fileName.normalized(QString::NormalizationForm_C);
    if (const qsizetype dot = extensionDot(base); dot >= 0)
        base.truncate(dot);
    base.remove(copySuffix);
    base.remove(numberSuffix);

    qsizetype begin = 0, end = base.size();
    while (begin < end && isTrimmedSpace(base[begin]))
        ++begin;
    while (end > begin && isTrimmedSpace(base[end - 1]))
        --end;
    return base.sliced(begin, end - begin).toLower().normalized(QString::NormalizationForm_C);
}

FileSignature readSignature(const QString& url) {
    FileSignature signature;
    signature.url = url;
    signature.base = normalizedBase(url.sliced(url.lastIndexOf(u'/') + 1));

    ImageFile file(url);
    std::optional<ImageHeader> header;
    switch (imaging::sniffImageFormat(file.head())) {
    case imaging::ImageFormat::Jpeg:
        header = readJpeg(file);
        break;
    case imaging::ImageFormat::Heif:
        header = readHeif(file);
        break;
    default:
        break;
    }
    if (header) {
        signature.date = header->date;
        signature.width = header->width;
        signature.height = header->height;
    }
    return signature;
}

} // namespace twinslim
