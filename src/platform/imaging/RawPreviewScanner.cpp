#include "platform/imaging/RawPreviewScanner.h"

#include "platform/imaging/RawJpeg.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

namespace imaging::rawdetail {

namespace {

constexpr int kMaxIfds = 64;
constexpr int kMaxEntries = 4096;
constexpr int kMaxBoxDepth = 4;
// Sensor data is never stored as plain 8-bit RGB strips; this only keeps absurd headers out.
constexpr std::uint32_t kMaxThumbnailSide = 4096;

bool isStandaloneMarker(std::uint8_t marker) {
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); // TEM, RSTn
}

// Where the header of a JPEG ends (just after its SOS segment), stepping from marker to marker
// so that only the header is read: behind it may lie megabytes (DNG sensor data is lossless
// JPEG too). Empty when the markers do not lead to a scan in the way libjpeg steps through
// them when nothing is amiss.
std::optional<std::size_t> jpegHeaderEnd(std::span<const std::uint8_t> jpeg,
                                         const EnsureBytes& ensure) {
    std::size_t at = 2; // after SOI
    while (at + 4 <= jpeg.size() && ensure(at, 4)) {
        if (jpeg[at] != 0xFF)
            return std::nullopt;
        const std::uint8_t marker = jpeg[at + 1];
        if (marker == 0xFF || isStandaloneMarker(marker)) {
            at += marker == 0xFF ? 1 : 2;
            continue;
        }
        if (marker == 0x00 || marker == 0xD9)
            return std::nullopt; // a stuffed zero (stray bytes to libjpeg), or EOI before a scan
        // libjpeg reads the length field even when it is too small to hold itself.
        const std::size_t length = std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        const std::size_t end = at + 2 + std::max<std::size_t>(length, 2);
        if (marker == 0xDA)
            return end <= jpeg.size() ? std::optional(end) : std::nullopt;
        at = end;
    }
    return std::nullopt;
}

// jpegSize() of the JPEG at `offset`, reading only its header when the data is read on demand.
// libjpeg reads a header up to its SOS segment and no further, so the header alone gives the
// answer the whole JPEG would.
std::optional<QSize> embeddedJpegSize(std::span<const std::uint8_t> data, std::size_t offset,
                                      std::size_t length, const EnsureBytes& ensure) {
    const auto jpeg = data.subspan(offset, length);
    if (!ensure)
        return jpegSize(jpeg);
    if (!ensure(offset, std::min<std::size_t>(length, 4)) || jpeg.size() <= 4 || jpeg[0] != 0xFF ||
        jpeg[1] != 0xD8 || jpeg[2] != 0xFF)
        return std::nullopt; // not a JPEG at all, as jpegSize() would say
    const auto header =
        jpegHeaderEnd(jpeg, [&](std::size_t at, std::size_t n) { return ensure(offset + at, n); });
    if (header)
        return ensure(offset, *header) ? jpegSize(jpeg.first(*header)) : std::nullopt;
    // Stray bytes between markers and the like, which libjpeg may step over: all of it.
    return ensure(offset, length) ? jpegSize(jpeg) : std::nullopt;
}

class TiffReader {
public:
    TiffReader(std::span<const std::uint8_t> data, const EnsureBytes& ensure)
        : m_data(data), m_ensure(ensure) {}

    // Header check; false when this is not a TIFF-like file.
    bool open() {
        if (!has(0, 8))
            return false;
        if (m_data[0] == 'I' && m_data[1] == 'I')
            m_bigEndian = false;
        else if (m_data[0] == 'M' && m_data[1] == 'M')
            m_bigEndian = true;
        else
            return false;
        const std::uint16_t magic = u16(2);
        // 42: TIFF; "RO"/"RS": Olympus ORF; 0x55: Panasonic RW2.
        if (magic != 42 && magic != 0x4F52 && magic != 0x5352 && magic != 0x55)
            return false;
        return true;
    }

    void scan(RawContainer& result) {
        std::vector<std::uint32_t> pending{u32(4)};
        std::set<std::uint32_t> visited;
        bool first = true;
        while (!pending.empty() && static_cast<int>(visited.size()) < kMaxIfds) {
            const std::uint32_t offset = pending.back();
            pending.pop_back();
            if (offset < 8 || !visited.insert(offset).second)
                continue;
            readIfd(offset, first, result, pending);
            first = false;
        }
    }

    int orientationOnly() {
        RawContainer ignored;
        std::vector<std::uint32_t> pending;
        readIfd(u32(4), true, ignored, pending);
        return ignored.orientation;
    }

private:
    bool within(std::size_t offset, std::size_t length) const {
        return offset <= m_data.size() && length <= m_data.size() - offset;
    }

    // Inside the data and readable.
    bool has(std::size_t offset, std::size_t length) const {
        return within(offset, length) && (!m_ensure || m_ensure(offset, length));
    }

    std::uint16_t u16(std::size_t at) const {
        if (!has(at, 2))
            return 0;
        return m_bigEndian ? std::uint16_t(m_data[at] << 8 | m_data[at + 1])
                           : std::uint16_t(m_data[at + 1] << 8 | m_data[at]);
    }

    std::uint32_t u32(std::size_t at) const {
        if (!has(at, 4))
            return 0;
        const std::uint32_t a = u16(at), b = u16(at + 2);
        return m_bigEndian ? (a << 16 | b) : (b << 16 | a);
    }

    struct Field {
        std::uint16_t type = 0;
        std::uint32_t count = 0;
        std::size_t valueAt = 0; // where the value bytes start
    };

    static int typeSize(std::uint16_t type) {
        static constexpr std::array<int, 14> sizes{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
        return type < sizes.size() ? sizes[type] : 0;
    }

    // Numeric value `index` of a SHORT/LONG/IFD field; 0 when absent.
    std::uint32_t number(const Field& f, std::uint32_t index = 0) const {
        if (index >= f.count)
            return 0;
        switch (f.type) {
        case 3:
            return u16(f.valueAt + 2 * index);
        case 4:
        case 13:
            return u32(f.valueAt + 4 * index);
        case 1:
        case 7:
            return has(f.valueAt + index, 1) ? m_data[f.valueAt + index] : 0;
        default:
            return 0;
        }
    }

    void addJpeg(std::uint64_t offset, std::uint64_t length, RawContainer& result) const {
        if (length < 4 || offset >= m_data.size() || length > m_data.size() - offset)
            return;
        for (const auto& known : result.previews)
            if (known.offset == offset)
                return;
        const auto size = embeddedJpegSize(m_data, offset, length, m_ensure);
        if (!size)
            return;
        result.previews.push_back({EmbeddedPreview::Kind::Jpeg, static_cast<std::size_t>(offset),
                                   static_cast<std::size_t>(length), *size});
    }

    // Uncompressed RGB thumbnail: its strips must lie back to back and hold every pixel.
    void addRgb(std::uint32_t w, std::uint32_t h, const Field& offsets, const Field& counts,
                RawContainer& result) const {
        if (w == 0 || h == 0 || w > kMaxThumbnailSide || h > kMaxThumbnailSide ||
            offsets.count == 0 || offsets.count != counts.count)
            return;
        const std::uint64_t needed = std::uint64_t(w) * h * 3;
        const std::uint64_t start = number(offsets, 0);
        std::uint64_t end = start;
        for (std::uint32_t i = 0; i < offsets.count && end < start + needed; ++i) {
            if (number(offsets, i) != end)
                return;
            end += number(counts, i);
        }
        if (end - start < needed || start + needed > m_data.size())
            return;
        result.previews.push_back({EmbeddedPreview::Kind::Rgb8, static_cast<std::size_t>(start),
                                   static_cast<std::size_t>(needed),
                                   QSize(static_cast<int>(w), static_cast<int>(h))});
    }

    void readIfd(std::uint32_t offset, bool isFirst, RawContainer& result,
                 std::vector<std::uint32_t>& pending) {
        const std::uint16_t count = u16(offset);
        if (count == 0 || count > kMaxEntries || !has(offset + 2, std::size_t(count) * 12))
            return;
        Field compression, stripOffsets, stripCounts, jpegOffset, jpegLength, jpgFromRaw;
        Field width, height, bitsPerSample, photometric, samplesPerPixel, planar;
        for (std::uint16_t i = 0; i < count; ++i) {
            const std::size_t at = offset + 2 + std::size_t(i) * 12;
            const std::uint16_t tag = u16(at);
            Field f;
            f.type = u16(at + 2);
            f.count = u32(at + 4);
            const std::uint64_t bytes = std::uint64_t(typeSize(f.type)) * f.count;
            f.valueAt = bytes <= 4 ? at + 8 : u32(at + 8);
            // Only bounds: values are read where they are used (most are not, some are large).
            if (bytes == 0 || !within(f.valueAt, bytes))
                continue;
            switch (tag) {
            case 0x002E: // Panasonic JpgFromRaw: the JPEG is the value itself
                jpgFromRaw = f;
                break;
            case 0x0100:
                width = f;
                break;
            case 0x0101:
                height = f;
                break;
            case 0x0102:
                bitsPerSample = f;
                break;
            case 0x0103:
                compression = f;
                break;
            case 0x0106:
                photometric = f;
                break;
            case 0x0115:
                samplesPerPixel = f;
                break;
            case 0x011C:
                planar = f;
                break;
            case 0x0111:
                stripOffsets = f;
                break;
            case 0x0117:
                stripCounts = f;
                break;
            case 0x0112:
                if (isFirst) {
                    const std::uint32_t o = number(f);
                    if (o >= 1 && o <= 8)
                        result.orientation = static_cast<int>(o);
                }
                break;
            case 0x014A: // SubIFDs
                for (std::uint32_t k = 0; k < std::min<std::uint32_t>(f.count, kMaxIfds); ++k)
                    pending.push_back(number(f, k));
                break;
            case 0x0201:
                jpegOffset = f;
                break;
            case 0x0202:
                jpegLength = f;
                break;
            default:
                break;
            }
        }
        if (jpegOffset.count && jpegLength.count)
            addJpeg(number(jpegOffset), number(jpegLength), result);
        const std::uint32_t comp = number(compression);
        if ((comp == 6 || comp == 7) && stripOffsets.count == 1 && stripCounts.count == 1)
            addJpeg(number(stripOffsets), number(stripCounts), result);
        if (jpgFromRaw.count)
            addJpeg(jpgFromRaw.valueAt, jpgFromRaw.count, result);
        if (comp == 1 && number(photometric) == 2 && number(samplesPerPixel) == 3 &&
            (planar.count == 0 || number(planar) == 1) && number(bitsPerSample, 0) == 8 &&
            (bitsPerSample.count == 1 ||
             (number(bitsPerSample, 1) == 8 && number(bitsPerSample, 2) == 8)))
            addRgb(number(width), number(height), stripOffsets, stripCounts, result);
        // The chain of IFDs (IFD1 often holds a small thumbnail).
        if (const std::uint32_t next = u32(offset + 2 + std::size_t(count) * 12))
            pending.push_back(next);
    }

    std::span<const std::uint8_t> m_data;
    const EnsureBytes& m_ensure;
    bool m_bigEndian = false;
};

// Canon's boxes: one inside `moov` with the metadata (CMT1..4) and a 160×120 thumbnail (THMB),
// one at the top level with the larger preview (PRVW).
constexpr std::array<std::uint8_t, 16> kCanonMetadataUuid = {
    0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0, 0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
constexpr std::array<std::uint8_t, 16> kCanonPreviewUuid = {
    0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88, 0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};

class BmffReader {
public:
    BmffReader(std::span<const std::uint8_t> data, const EnsureBytes& ensure)
        : m_data(data), m_ensure(ensure) {}

    bool open() const {
        return m_data.size() >= 16 && readable(0, 16) &&
               std::memcmp(m_data.data() + 4, "ftyp", 4) == 0;
    }

    void scan(RawContainer& result) { walk(0, m_data.size(), 0, result); }

private:
    // Callers keep within the data.
    bool readable(std::size_t offset, std::size_t length) const {
        return !m_ensure || m_ensure(offset, length);
    }

    std::uint64_t be(std::size_t at, int bytes) const {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | m_data[at + i];
        return v;
    }

    void walk(std::size_t begin, std::size_t end, int depth, RawContainer& result) {
        std::size_t at = begin;
        while (at + 8 <= end && readable(at, 8)) {
            std::uint64_t size = be(at, 4);
            const char* type = reinterpret_cast<const char*>(m_data.data() + at + 4);
            std::size_t header = 8;
            if (size == 1) {
                if (at + 16 > end || !readable(at + 8, 8))
                    return;
                size = be(at + 8, 8);
                header = 16;
            } else if (size == 0) {
                size = end - at;
            }
            if (size < header)
                return;
            // A box cut off by the end of the data is still walked, so that what is complete
            // inside it is found; its own payload ends where the data ends.
            const bool complete = size <= end - at;
            const std::size_t boxEnd = complete ? at + size : end;
            const std::size_t payload = at + header;
            visit(type, payload, boxEnd, complete, depth, result);
            if (!complete)
                return;
            at = boxEnd;
        }
    }

    void visit(const char* type, std::size_t payload, std::size_t end, bool complete, int depth,
               RawContainer& result) {
        if (depth >= kMaxBoxDepth)
            return;
        if (std::memcmp(type, "moov", 4) == 0) {
            walk(payload, end, depth + 1, result);
        } else if (std::memcmp(type, "uuid", 4) == 0 && payload + 16 <= end &&
                   readable(payload, 16)) {
            const auto uuid = m_data.subspan(payload, 16);
            if (std::equal(uuid.begin(), uuid.end(), kCanonMetadataUuid.begin()))
                walk(payload + 16, end, depth + 1, result);
            else if (std::equal(uuid.begin(), uuid.end(), kCanonPreviewUuid.begin()) &&
                     payload + 24 <= end)
                walk(payload + 24, end, depth + 1, result); // 8 bytes precede the PRVW box
        } else if (std::memcmp(type, "THMB", 4) == 0 || std::memcmp(type, "PRVW", 4) == 0) {
            if (complete)
                addJpegInBox(payload, end, result);
        } else if (std::memcmp(type, "CMT1", 4) == 0 && result.orientation == 0) {
            const EnsureBytes inBox = m_ensure ? EnsureBytes([&](std::size_t at, std::size_t n) {
                return m_ensure(payload + at, n);
            })
                                               : EnsureBytes();
            TiffReader tiff(m_data.subspan(payload, end - payload), inBox);
            if (tiff.open())
                result.orientation = tiff.orientationOnly();
        }
    }

    // The JPEG follows a short header of sizes; it runs to the end of the box.
    void addJpegInBox(std::size_t payload, std::size_t end, RawContainer& result) {
        const std::size_t searchEnd = std::min(end, payload + 32);
        if (!readable(payload, searchEnd - payload))
            return;
        for (std::size_t at = payload; at + 3 <= searchEnd; ++at) {
            if (m_data[at] == 0xFF && m_data[at + 1] == 0xD8 && m_data[at + 2] == 0xFF) {
                if (const auto size = embeddedJpegSize(m_data, at, end - at, m_ensure))
                    result.previews.push_back({EmbeddedPreview::Kind::Jpeg, at, end - at, *size});
                return;
            }
        }
    }

    std::span<const std::uint8_t> m_data;
    const EnsureBytes& m_ensure;
};

} // namespace

RawContainer scanRawContainer(std::span<const std::uint8_t> data, const EnsureBytes& ensure) {
    RawContainer result;
    TiffReader tiff(data, ensure);
    if (tiff.open()) {
        tiff.scan(result);
    } else {
        BmffReader bmff(data, ensure);
        if (bmff.open())
            bmff.scan(result);
    }
    std::stable_sort(result.previews.begin(), result.previews.end(),
                     [](const auto& a, const auto& b) {
                         return std::int64_t(a.size.width()) * a.size.height() >
                                std::int64_t(b.size.width()) * b.size.height();
                     });
    return result;
}

} // namespace imaging::rawdetail
