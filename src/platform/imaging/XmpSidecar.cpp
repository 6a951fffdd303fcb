#include "platform/imaging/XmpSidecar.h"

#include "platform/imaging/Exiv2Support.h"
#include "platform/imaging/ImagingError.h"

#include <QRegularExpression>
#include <QSet>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <exiv2/exiv2.hpp>

namespace imaging {

namespace {

const char* const ratingKey = "Xmp.xmp.Rating";
const char* const labelKey = "Xmp.xmp.Label";
const char* const subjectKey = "Xmp.dc.subject";
const char* const hierarchyKey = "Xmp.lr.hierarchicalSubject";
const char* const dateKey = "Xmp.exif.DateTimeOriginal";
// darktable rewrites exif:DateTimeOriginal as a wall-clock time without its offset, and keeps
// xmp:CreateDate as it finds it: written beside it, the offset outlives darktable's rewrite.
const char* const createDateKey = "Xmp.xmp.CreateDate";
const char* const latitudeKey = "Xmp.exif.GPSLatitude";
const char* const longitudeKey = "Xmp.exif.GPSLongitude";
// darktable keeps its colour labels as a sequence of numbers in its own namespace.
const char* const darktableNamespace = "http://darktable.sf.net/";
const char* const colourLabelsKey = "Xmp.darktable.colorlabels";

bool decode(const QByteArray& packet, Exiv2::XmpData& xmp) {
    detail::ensureExiv2Ready();
    try {
        Exiv2::XmpProperties::registerNs(darktableNamespace, "darktable");
        return Exiv2::XmpParser::decode(xmp, packet.toStdString()) == 0;
    } catch (...) {
        return false;
    }
}

QStringList listOf(const Exiv2::XmpData& xmp, const char* key) {
    QStringList values;
    const auto it = xmp.findKey(Exiv2::XmpKey(key));
    if (it == xmp.end())
        return values;
    for (long i = 0; i < it->count(); ++i) {
        const QString value = QString::fromStdString(it->toString(i)).trimmed();
        if (!value.isEmpty())
            values << value;
    }
    return values;
}

void setList(Exiv2::XmpData& xmp, const char* key, const QStringList& values,
             Exiv2::TypeId type = Exiv2::xmpBag) {
    const auto it = xmp.findKey(Exiv2::XmpKey(key));
    if (values.isEmpty()) {
        if (it != xmp.end())
            xmp.erase(it);
        return;
    }
    auto value = Exiv2::Value::create(type);
    for (const QString& v : values)
        value->read(v.toStdString());
    // Replaced where it stands: a sidecar whose values stay the same stays the same.
    if (it != xmp.end())
        it->setValue(value.get());
    else
        xmp.add(Exiv2::XmpKey(key), value.get());
}

// XMP writes a coordinate as degrees and decimal minutes with its hemisphere: "48,51.5N".
std::optional<double> coordinateOf(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral(R"(^(\d{1,3}),(\d{1,2}(?:\.\d+)?)(?:,(\d{1,2}(?:\.\d+)?))?([NSEW])$)"));
    const auto m = form.match(text.trimmed());
    if (!m.hasMatch())
        return std::nullopt;
    double value = m.captured(1).toDouble() + m.captured(2).toDouble() / 60 +
                   (m.captured(3).isEmpty() ? 0 : m.captured(3).toDouble() / 3600);
    if (m.captured(4) == QLatin1String("S") || m.captured(4) == QLatin1String("W"))
        value = -value;
    return value;
}

std::string coordinateText(double value, char positive, char negative) {
    const double magnitude = std::abs(value);
    const int degrees = int(magnitude);
    return QStringLiteral("%1,%2%3")
        .arg(degrees)
        .arg((magnitude - degrees) * 60, 0, 'f', 6)
        .arg(QLatin1Char(value < 0 ? negative : positive))
        .toStdString();
}

// A date as XMP writes it, ISO 8601 ("2019-10-26T16:07:24.540+02:00", the offset optional),
// or as darktable writes it into its sidecars, EXIF-like ("2019:10:26 16:07:24.540"). Without
// an offset it is the machine's wall-clock time.
struct XmpDate {
    QDateTime instant;
    std::optional<int> offsetSeconds;
};

std::optional<XmpDate> xmpDateOf(const Exiv2::XmpData& xmp, const char* key) {
    const auto it = xmp.findKey(Exiv2::XmpKey(key));
    if (it == xmp.end())
        return std::nullopt;
    QString text = QString::fromStdString(it->toString()).trimmed();
    // darktable's form differs from ISO 8601 in three separators only.
    if (text.size() >= 19 && text[4] == u':' && text[7] == u':' && text[10] == u' ') {
        text[4] = text[7] = u'-';
        text[10] = u'T';
    }
    const QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!when.isValid())
        return std::nullopt;
    XmpDate date{when.toUTC(), std::nullopt};
    if (when.timeSpec() == Qt::OffsetFromUTC || when.timeSpec() == Qt::UTC)
        date.offsetSeconds = when.offsetFromUtc();
    return date;
}

// The wall-clock time of an instant at an offset, to the second.
QDateTime wallClock(const QDateTime& instant, std::optional<int> offsetSeconds) {
    const QDateTime local =
        offsetSeconds ? instant.toOffsetFromUtc(*offsetSeconds) : instant.toLocalTime();
    return QDateTime(local.date(),
                     QTime(local.time().hour(), local.time().minute(), local.time().second()),
                     Qt::UTC);
}

// An instant as XMP text with milliseconds (two shots of one second must not trade places):
// at its offset, or as the machine's wall-clock time without one.
std::string xmpDateText(const QDateTime& instant, std::optional<int> offsetSeconds) {
    if (offsetSeconds)
        return instant.toOffsetFromUtc(*offsetSeconds).toString(Qt::ISODateWithMs).toStdString();
    return instant.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toStdString();
}

// digiKam's marks where digiKam writes them, so that the programs it writes them for find them:
// the rating also as ACDSee's and Windows' (in percent), the colour label also as Nikon's and,
// for the colours it has, Lightroom's, the tags as paths in digiKam's, Windows', Lightroom's and
// Media Pro's forms, their names in dc:subject.
void applyDigikamMarks(Exiv2::XmpData& xmp, const DigikamMarks& marks) {
    static const int percents[] = {0, 1, 25, 50, 75, 99};
    if (marks.rating && *marks.rating >= 0 && *marks.rating <= 5) {
        xmp[ratingKey] = std::to_string(*marks.rating);
        xmp["Xmp.acdsee.rating"] = std::to_string(*marks.rating);
        xmp["Xmp.MicrosoftPhoto.Rating"] = std::to_string(percents[*marks.rating]);
    }
    if (marks.pickLabel && *marks.pickLabel >= 0 && *marks.pickLabel <= 3)
        xmp["Xmp.digiKam.PickLabel"] = std::to_string(*marks.pickLabel);
    if (marks.colourLabel && *marks.colourLabel >= 0 && *marks.colourLabel <= 9) {
        xmp["Xmp.digiKam.ColorLabel"] = std::to_string(*marks.colourLabel);
        xmp["Xmp.photoshop.Urgency"] = std::to_string(*marks.colourLabel);
        static const char* const lightroom[] = {nullptr, "Red",    nullptr, "Yellow", "Green",
                                                "Blue",  "Purple", nullptr, nullptr,  nullptr};
        if (lightroom[*marks.colourLabel])
            xmp[labelKey] = lightroom[*marks.colourLabel];
    }
    if (marks.tagPaths) {
        QStringList names, piped;
        for (const QString& path : *marks.tagPaths) {
            names << path.section(QLatin1Char('/'), -1);
            piped << QString(path).replace(QLatin1Char('/'), QLatin1Char('|'));
        }
        names.removeDuplicates();
        setList(xmp, "Xmp.digiKam.TagsList", *marks.tagPaths, Exiv2::xmpSeq);
        setList(xmp, "Xmp.MicrosoftPhoto.LastKeywordXMP", *marks.tagPaths);
        setList(xmp, hierarchyKey, piped);
        setList(xmp, "Xmp.mediapro.CatalogSets", piped);
        setList(xmp, subjectKey, names);
    }
}

} // namespace

namespace {

// The keywords above another in a hierarchy ("Places", "France" of "Places|France|Lyon").
// darktable and Lightroom also put them in dc:subject, where they only spell out the hierarchy.
QSet<QString> ancestorsIn(const QStringList& paths) {
    QSet<QString> ancestors;
    for (const QString& path : paths) {
        const QStringList parts = path.split(QLatin1Char('|'));
        for (qsizetype i = 0; i + 1 < parts.size(); ++i)
            ancestors.insert(parts[i].trimmed());
    }
    return ancestors;
}

QString leafOf(const QString& path) {
    return path.section(QLatin1Char('|'), -1).trimmed();
}

} // namespace

QStringList XmpSidecarData::albumTitles() const {
    QStringList leaves;
    for (const QString& path : hierarchicalKeywords)
        if (const QString leaf = leafOf(path); !leaf.isEmpty())
            leaves << leaf;
    const QSet<QString> ancestors = ancestorsIn(hierarchicalKeywords);
    QStringList titles;
    for (const QString& keyword : keywords)
        if (!ancestors.contains(keyword) || leaves.contains(keyword))
            titles << keyword;
    titles << leaves;
    titles.removeDuplicates();
    return titles;
}

std::optional<XmpSidecarData> parseXmpSidecar(const QByteArray& packet) {
    Exiv2::XmpData xmp;
    if (packet.trimmed().isEmpty() || !decode(packet, xmp))
        return std::nullopt;
    XmpSidecarData data;
    try {
        const auto rating = xmp.findKey(Exiv2::XmpKey(ratingKey));
        if (rating != xmp.end()) {
            bool ok = false;
            const int value = QString::fromStdString(rating->toString()).trimmed().toInt(&ok);
            if (ok && value >= -1 && value <= 5)
                data.rating = value;
        }
        const auto label = xmp.findKey(Exiv2::XmpKey(labelKey));
        if (label != xmp.end() && !label->toString().empty())
            data.label = QString::fromStdString(label->toString());
        data.keywords = listOf(xmp, subjectKey);
        // darktable's own tags (file format, "changed"…) describe its work, not the picture,
        // and so do the words they spell out in dc:subject.
        QStringList own;
        for (const QString& path : listOf(xmp, hierarchyKey))
            (path.startsWith(QLatin1String("darktable|")) ? own : data.hierarchicalKeywords)
                << path;
        const auto wordsOf = [](const QStringList& paths) {
            QSet<QString> words;
            for (const QString& path : paths)
                for (const QString& part : path.split(QLatin1Char('|')))
                    words.insert(part.trimmed());
            return words;
        };
        const QSet<QString> ownWords = wordsOf(own), userWords = wordsOf(data.hierarchicalKeywords);
        data.keywords.removeIf(
            [&](const QString& k) { return ownWords.contains(k) && !userWords.contains(k); });
        data.colourLabels = listOf(xmp, colourLabelsKey);
        if (auto date = xmpDateOf(xmp, dateKey)) {
            // A date without its offset takes xmp:CreateDate's when that names the same
            // wall-clock time: it is this date before darktable rewrote it.
            const auto created = date->offsetSeconds ? std::nullopt : xmpDateOf(xmp, createDateKey);
            if (created && created->offsetSeconds &&
                wallClock(created->instant, created->offsetSeconds) ==
                    wallClock(date->instant, std::nullopt)) {
                const QDateTime local = date->instant.toLocalTime();
                date->instant =
                    QDateTime(local.date(), local.time(), QTimeZone(*created->offsetSeconds))
                        .toUTC();
                date->offsetSeconds = created->offsetSeconds;
            }
            data.captureDate = date->instant;
            data.captureOffsetSeconds = date->offsetSeconds;
        }
        const auto latitude = xmp.findKey(Exiv2::XmpKey(latitudeKey));
        const auto longitude = xmp.findKey(Exiv2::XmpKey(longitudeKey));
        if (latitude != xmp.end() && longitude != xmp.end()) {
            data.latitude = coordinateOf(QString::fromStdString(latitude->toString()));
            data.longitude = coordinateOf(QString::fromStdString(longitude->toString()));
            if (!data.latitude || !data.longitude || std::abs(*data.latitude) > 90 ||
                std::abs(*data.longitude) > 180)
                data.latitude = data.longitude = std::nullopt;
        }
    } catch (...) {
        return std::nullopt;
    }
    return data;
}

QByteArray editXmpSidecar(const QByteArray& packet, const XmpSidecarEdit& edit) {
    detail::ensureExiv2Ready();
    Exiv2::XmpData xmp;
    if (!packet.trimmed().isEmpty() && !decode(packet, xmp))
        throw ImagingError("The sidecar is not XMP.");
    try {
        if (edit.mergeFrom) {
            // One picture's files each have their own sidecar (darktable writes one per file):
            // the picture's marks are all of theirs together.
            std::optional<int> rating;
            std::optional<QString> label;
            QStringList subjects, hierarchy, colours;
            for (const QByteArray& packet : *edit.mergeFrom) {
                if (packet.trimmed().isEmpty())
                    continue;
                const auto source = parseXmpSidecar(packet);
                if (!source)
                    throw ImagingError("The sidecar copied from is not XMP.");
                if (source->rating)
                    rating = std::max(rating.value_or(-1), *source->rating);
                if (!label)
                    label = source->label;
                subjects << source->keywords;
                hierarchy << source->hierarchicalKeywords;
                colours << source->colourLabels;
            }
            subjects.removeDuplicates();
            hierarchy.removeDuplicates();
            colours.removeDuplicates();
            for (const char* key : {ratingKey, labelKey})
                if (const auto it = xmp.findKey(Exiv2::XmpKey(key)); it != xmp.end())
                    xmp.erase(it);
            if (rating)
                xmp[ratingKey] = std::to_string(*rating);
            if (label)
                xmp[labelKey] = label->toStdString();
            Exiv2::XmpProperties::registerNs(darktableNamespace, "darktable");
            setList(xmp, subjectKey, subjects);
            setList(xmp, hierarchyKey, hierarchy);
            setList(xmp, colourLabelsKey, colours, Exiv2::xmpSeq);
        }
        if (edit.subjects)
            setList(xmp, subjectKey, *edit.subjects);
        if (edit.hierarchicalSubjects)
            setList(xmp, hierarchyKey, *edit.hierarchicalSubjects);
        if (edit.rating)
            xmp[ratingKey] = std::to_string(*edit.rating);
        if (edit.captureDate) {
            const std::string text = xmpDateText(*edit.captureDate, edit.captureOffsetSeconds);
            xmp[dateKey] = text;
            if (edit.captureOffsetSeconds)
                xmp[createDateKey] = text;
        }
        if (edit.location) {
            xmp[latitudeKey] = coordinateText(edit.location->first, 'N', 'S');
            xmp[longitudeKey] = coordinateText(edit.location->second, 'E', 'W');
        }
        if (!edit.addKeywords.isEmpty() || !edit.removeKeywords.isEmpty()) {
            QStringList subjects = listOf(xmp, subjectKey);
            for (const QString& k : edit.addKeywords)
                if (!subjects.contains(k))
                    subjects << k;
            QStringList hierarchy = listOf(xmp, hierarchyKey);
            const QSet<QString> ancestorsBefore = ancestorsIn(hierarchy);
            for (const QString& k : edit.removeKeywords) {
                subjects.removeAll(k);
                hierarchy.removeIf([&](const QString& path) { return leafOf(path) == k; });
            }
            // The keywords that only spelled out a removed hierarchy go with it.
            const QSet<QString> ancestorsAfter = ancestorsIn(hierarchy);
            subjects.removeIf([&](const QString& k) {
                return ancestorsBefore.contains(k) && !ancestorsAfter.contains(k) &&
                       !std::any_of(hierarchy.begin(), hierarchy.end(),
                                    [&](const QString& path) { return leafOf(path) == k; });
            });
            setList(xmp, subjectKey, subjects);
            setList(xmp, hierarchyKey, hierarchy);
        }
        if (!edit.addHierarchicalKeywords.isEmpty()) {
            QStringList subjects = listOf(xmp, subjectKey);
            QStringList hierarchy = listOf(xmp, hierarchyKey);
            for (const QString& path : edit.addHierarchicalKeywords) {
                if (!hierarchy.contains(path))
                    hierarchy << path;
                for (const QString& part : path.split(QLatin1Char('|'), Qt::SkipEmptyParts))
                    if (!subjects.contains(part))
                        subjects << part;
            }
            setList(xmp, subjectKey, subjects);
            setList(xmp, hierarchyKey, hierarchy);
        }
        if (edit.colourLabels) {
            Exiv2::XmpProperties::registerNs(darktableNamespace, "darktable");
            const auto it = xmp.findKey(Exiv2::XmpKey(colourLabelsKey));
            if (it != xmp.end())
                xmp.erase(it);
            if (!edit.colourLabels->isEmpty()) {
                auto value = Exiv2::Value::create(Exiv2::xmpSeq);
                for (int label : *edit.colourLabels)
                    value->read(std::to_string(label));
                xmp.add(Exiv2::XmpKey(colourLabelsKey), value.get());
            }
        }
        if (edit.digikam)
            applyDigikamMarks(xmp, *edit.digikam);
        if (!edit.properties.empty())
            Exiv2::XmpProperties::registerNs(darktableNamespace, "darktable");
        for (const auto& [key, text] : edit.properties)
            xmp[key] = text;
        if (xmp.empty()) // everything removed: still a sidecar others can read
            return QByteArrayLiteral(
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<x:xmpmeta "
                "xmlns:x=\"adobe:ns:meta/\">\n <rdf:RDF "
                "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n  "
                "<rdf:Description rdf:about=\"\"/>\n </rdf:RDF>\n</x:xmpmeta>\n");
        std::string out;
        if (Exiv2::XmpParser::encode(out, xmp, Exiv2::XmpParser::omitPacketWrapper) != 0)
            throw ImagingError("The sidecar could not be written as XMP.");
        return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") +
               QByteArray::fromStdString(out);
    } catch (const ImagingError&) {
        throw;
    } catch (const std::exception& e) {
        throw ImagingError(std::string("The sidecar could not be changed: ") + e.what());
    }
}

QByteArray embedDigikamMarks(const QByteArray& picture, const DigikamMarks& marks) {
    detail::ensureExiv2Ready();
    try {
        auto image = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte*>(picture.constData()), long(picture.size()));
        image->readMetadata();
        applyDigikamMarks(image->xmpData(), marks);
        if (marks.rating && *marks.rating >= 0 && *marks.rating <= 5) {
            static const uint16_t percents[] = {0, 1, 25, 50, 75, 99};
            image->exifData()["Exif.Image.Rating"] = uint16_t(*marks.rating);
            image->exifData()["Exif.Image.RatingPercent"] = percents[*marks.rating];
        }
        if (marks.tagPaths) {
            // IPTC keywords are limited to 64 bytes each.
            Exiv2::IptcData& iptc = image->iptcData();
            const Exiv2::IptcKey key("Iptc.Application2.Keywords");
            for (auto it = iptc.findKey(key); it != iptc.end(); it = iptc.findKey(key))
                iptc.erase(it);
            QStringList names;
            for (const QString& path : *marks.tagPaths)
                names << path.section(QLatin1Char('/'), -1);
            names.removeDuplicates();
            for (const QString& name : names) {
                Exiv2::StringValue value(name.toUtf8().left(64).toStdString());
                iptc.add(key, &value);
            }
            if (!names.isEmpty())
                iptc["Iptc.Envelope.CharacterSet"] = "\x1b%G"; // UTF-8
        }
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        if (io.open() != 0)
            throw ImagingError("The picture could not be read back.");
        const Exiv2::DataBuf written = io.read(io.size());
        io.close();
        return QByteArray(reinterpret_cast<const char*>(written.pData_), int(written.size_));
    } catch (const ImagingError&) {
        throw;
    } catch (const std::exception& e) {
        throw ImagingError(std::string("digiKam's marks cannot be written into the picture: ") +
                           e.what());
    }
}

} // namespace imaging
