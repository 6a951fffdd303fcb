#include "DemoLibrary.h"

#include "platform/imaging/DngWriter.h"
#include "platform/imaging/ExifDate.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/types/UTType.h"

#include <QDir>
#include <QLinearGradient>
#include <QMap>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QtConcurrent/QtConcurrentMap>
#include <array>

namespace photolib {

using namespace photos;

namespace {

const QString holidays = QStringLiteral("Holidays");
const QString family = QStringLiteral("Family");
const QString bestOf = QStringLiteral("Best of");

const std::array<Location, 5> places = {{
    {48.8566, 2.3522},    // Paris
    {-33.8688, 151.2093}, // Sydney
    {40.7128, -74.0060},  // New York
    {64.1466, -21.9426},  // Reykjavík
    {-33.9249, 18.4241},  // Cape Town
}};

// Camera-like sizes between 1.9 and 3.1 megapixels, one of them portrait.
const std::array<QSize, 4> sizes = {{{1920, 1280}, {1600, 1200}, {1200, 1600}, {2048, 1536}}};

QString identifierFor(const char* extension) {
    return uti::UTType::fromFilenameExtension(QString::fromLatin1(extension))->identifier();
}

// Seven-segment digits need no font (the command-line program has no font database).
void addDigit(QPainterPath& path, int digit, QRectF box) {
    static const std::array<const char*, 10> segments = {
        "abcdef", "bc", "abdeg", "abcdg", "bcfg", "acdfg", "acdefg", "abc", "abcdefg", "abcdfg"};
    const double w = box.width(), h = box.height(), t = box.height() / 8, g = t / 5;
    const double m = (h - t) / 2;
    const QMap<char, QRectF> shapes = {
        {'a', {t + g, 0, w - 2 * (t + g), t}},
        {'b', {w - t, t + g, t, m - t - 2 * g}},
        {'c', {w - t, m + t + g, t, h - m - 2 * t - 2 * g}},
        {'d', {t + g, h - t, w - 2 * (t + g), t}},
        {'e', {0, m + t + g, t, h - m - 2 * t - 2 * g}},
        {'f', {0, t + g, t, m - t - 2 * g}},
        {'g', {t + g, m, w - 2 * (t + g), t}},
    };
    for (const char* s = segments[size_t(digit)]; *s; ++s)
        path.addRect(shapes.value(*s).translated(box.topLeft()));
}

QImage editedRendering(const QImage& picture) {
    QImage edited = picture.copy();
    QPainter p(&edited);
    p.fillRect(edited.rect(), QColor(255, 150, 40, 70)); // a warm tint
    const int border = std::min(edited.width(), edited.height()) / 25;
    p.setPen(QPen(Qt::white, border * 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(edited.rect());
    return edited;
}

QByteArray adjustmentData(int number) {
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<plist version=\"1.0\"><dict>\n"
               "<key>adjustmentFormatIdentifier</key><string>org.twinslim.demo</string>\n"
               "<key>adjustmentFormatVersion</key><string>1.0</string>\n"
               "<key>adjustmentData</key><string>warm tint, white frame (item %1)</string>\n"
               "</dict></plist>\n")
        .arg(number)
        .toUtf8();
}

struct Generated {
    struct Resource {
        ResourceType type;
        QByteArray data;
        QString name;
        QString uti;
    };
    std::vector<Resource> resources;
    QString failure;
};

Generated generate(const DemoItem& item) {
    Generated g;
    try {
        const QImage picture = drawDemoPicture(item.number, item.size);
        const QString stem = QStringLiteral("IMG_%1").arg(item.number, 4, 10, QLatin1Char('0'));
        imaging::ExifFields exif;
        exif.pixelWidth = picture.width();
        exif.pixelHeight = picture.height();
        imaging::DngOptions dng;
        dng.model = QStringLiteral("Demo Camera");
        if (item.date) {
            // A camera writes the wall-clock time it was set to: here, this machine's zone.
            const QDateTime local = item.date->toLocalTime();
            exif.dateTimeOriginal = imaging::formatExifDateTime(local);
            exif.offsetTimeOriginal = imaging::formatExifOffset(local.offsetFromUtc());
            dng.dateTimeOriginal = *exif.dateTimeOriginal;
            dng.offsetTimeOriginal = *exif.offsetTimeOriginal;
        }
        if (item.location) {
            exif.latitude = item.location->latitude;
            exif.longitude = item.location->longitude;
            dng.gps = imaging::DngGps{item.location->latitude, item.location->longitude, {}};
        }
        const QByteArray exifBlock = imaging::buildExifBlock(exif);
        auto jpeg = [&] {
            return Generated::Resource{ResourceType::Photo,
                                       imaging::encodeJpeg(picture, 0.9, exifBlock),
                                       stem + QStringLiteral(".JPG"), identifierFor("jpg")};
        };
        auto raw = [&](ResourceType type) {
            return Generated::Resource{type, imaging::writeDng(picture, dng),
                                       stem + QStringLiteral(".DNG"), identifierFor("dng")};
        };
        switch (item.kind) {
        case DemoItem::Kind::Pair:
            g.resources.push_back(jpeg());
            g.resources.push_back(raw(ResourceType::AlternatePhoto));
            break;
        case DemoItem::Kind::RawOnly:
        case DemoItem::Kind::RawRendered:
            g.resources.push_back(raw(ResourceType::Photo));
            break;
        case DemoItem::Kind::JpegOnly:
            g.resources.push_back(jpeg());
            break;
        case DemoItem::Kind::RawWithHeic:
            g.resources.push_back({ResourceType::Photo,
                                   imaging::encodeHeic(picture, 0.7, exifBlock),
                                   stem + QStringLiteral(".HEIC"), identifierFor("heic")});
            g.resources.push_back(raw(ResourceType::AlternatePhoto));
            break;
        }
        if (item.edited) {
            g.resources.push_back({ResourceType::AdjustmentData, adjustmentData(item.number),
                                   stem + QStringLiteral(".AAE"), identifierFor("aae")});
            g.resources.push_back({ResourceType::FullSizePhoto,
                                   imaging::encodeJpeg(editedRendering(picture), 0.9, exifBlock),
                                   QStringLiteral("FullSizeRender.jpg"), identifierFor("jpg")});
        }
    } catch (const std::exception& e) {
        // Reported on the calling thread: an exception must not cross the thread pool.
        g.resources.clear();
        g.failure = QString::fromUtf8(e.what());
    }
    return g;
}

} // namespace

std::vector<DemoItem> planDemo(int pairs, const QDateTime& now) {
    std::vector<DemoItem> items;
    QRandomGenerator random(20240501);
    int index = 0;
    // Four age bands, in days before now, taken in turn.
    auto dateFor = [&](int i) {
        static const std::array<std::pair<int, int>, 4> bands = {
            {{1, 29}, {31, 89}, {91, 364}, {366, 729}}};
        const auto [from, to] = bands[size_t(i % 4)];
        const qint64 days = from + random.bounded(to - from + 1);
        return now.toUTC().addSecs(-(days * 86400 + random.bounded(86400)));
    };
    auto next = [&](DemoItem::Kind kind) {
        DemoItem item;
        item.kind = kind;
        item.number = index + 1;
        item.size = sizes[size_t(index % int(sizes.size()))];
        item.date = dateFor(index);
        if (index % 3 != 2)
            item.location = places[size_t(index % int(places.size()))];
        ++index;
        return item;
    };
    for (int i = 0; i < pairs; ++i) {
        DemoItem item = next(DemoItem::Kind::Pair);
        item.favorite = i % 4 == 1;
        item.edited = i % 7 == 3;
        item.hidden = i % 20 == 6;
        if (i % 30 == 12)
            item.date.reset();
        if (i % 5 == 0)
            item.albums << holidays;
        if (i % 6 == 2)
            item.albums << family;
        if (i % 8 == 1)
            item.albums << bestOf;
        items.push_back(std::move(item));
    }
    for (int i = 0; i < 3; ++i) {
        DemoItem item = next(DemoItem::Kind::RawOnly);
        if (i == 0)
            item.albums << family;
        items.push_back(std::move(item));
    }
    for (int i = 0; i < 3; ++i) {
        DemoItem item = next(DemoItem::Kind::JpegOnly);
        item.favorite = i == 1;
        if (i == 0)
            item.albums << holidays;
        items.push_back(std::move(item));
    }
    items.push_back(next(DemoItem::Kind::RawWithHeic));
    DemoItem rendered = next(DemoItem::Kind::RawRendered);
    rendered.edited = true;
    rendered.albums << bestOf;
    items.push_back(std::move(rendered));
    return items;
}

DemoSummary summarize(const std::vector<DemoItem>& items) {
    DemoSummary s;
    for (const DemoItem& item : items) {
        for (const QString& album : item.albums)
            if (!s.albums.contains(album))
                s.albums << album;
        switch (item.kind) {
        case DemoItem::Kind::Pair:
            ++s.pairs;
            s.favorites += item.favorite;
            s.edited += item.edited;
            s.hidden += item.hidden;
            s.undated += !item.date;
            break;
        case DemoItem::Kind::RawOnly:
            ++s.rawOnly;
            break;
        case DemoItem::Kind::JpegOnly:
            ++s.jpegOnly;
            break;
        case DemoItem::Kind::RawWithHeic:
            ++s.rawWithHeic;
            break;
        case DemoItem::Kind::RawRendered:
            ++s.rawRendered;
            break;
        }
    }
    return s;
}

QImage drawDemoPicture(int number, QSize size) {
    if (size.isEmpty())
        return {};
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const int hue = (number * 47) % 360;
    QLinearGradient sky(0, 0, size.width(), size.height());
    sky.setColorAt(0, QColor::fromHsv(hue, 170, 250));
    sky.setColorAt(1, QColor::fromHsv((hue + 90) % 360, 230, 110));
    p.fillRect(image.rect(), sky);

    QRandomGenerator random{quint32(number)};
    const int shortSide = std::min(size.width(), size.height());
    p.setPen(Qt::NoPen);
    for (int k = 0; k < 7; ++k) {
        p.setBrush(QColor::fromHsv(random.bounded(360), 200, 230, 110));
        const double r = shortSide * (0.05 + random.bounded(0.15));
        p.drawEllipse(QPointF(random.bounded(size.width()), random.bounded(size.height())), r, r);
    }
    p.setBrush(QColor::fromHsv((hue + 180) % 360, 120, 60, 150));
    p.drawRect(QRectF(0, size.height() * 0.8, size.width(), size.height() * 0.2));

    const QString digits = QString::number(number);
    const double h = shortSide * 0.35, w = h * 0.6, gap = w * 0.3;
    const double total = digits.size() * w + (digits.size() - 1) * gap;
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    double x = (size.width() - total) / 2;
    for (QChar c : digits) {
        addDigit(path, c.digitValue(), QRectF(x, (size.height() - h) / 2, w, h));
        x += w + gap;
    }
    p.setPen(QPen(Qt::black, std::max(2.0, h / 40)));
    p.setBrush(Qt::white);
    p.drawPath(path);
    return image;
}

void createDemoLibrary(const QString& path, const std::vector<DemoItem>& items,
                       const std::function<void(int, int)>& progress) {
    std::shared_ptr<PhotoLibrary> library = PhotoLibrary::create(path);
    const QString libraryPath = library->path();
    try {
        QMap<QString, QString> albumIds;
        library->performChangesAndWait([&](ChangeRequests& c) {
            for (const QString& title : summarize(items).albums)
                albumIds.insert(title, c.creationRequestForAssetCollection(title)
                                           .placeholderForCreatedAssetCollection()
                                           .localIdentifier);
        });
        QMap<QString, CollectionPtr> albums;
        for (const CollectionPtr& c :
             library->fetchAssetCollectionsWithLocalIdentifiers(albumIds.values()))
            albums.insert(c->localizedTitle.value_or(QString()), c);

        // Pictures are drawn and encoded on every core; each batch is one library change.
        constexpr size_t batchSize = 8;
        for (size_t start = 0; start < items.size(); start += batchSize) {
            const QList<DemoItem> batch(items.begin() + qsizetype(start),
                                        items.begin() +
                                            qsizetype(std::min(items.size(), start + batchSize)));
            const QList<Generated> made = QtConcurrent::blockingMapped(batch, generate);
            for (const Generated& g : made)
                if (!g.failure.isEmpty())
                    throw std::runtime_error(g.failure.toStdString());
            library->performChangesAndWait([&](ChangeRequests& c) {
                QMap<QString, std::vector<ObjectPlaceholder>> members;
                for (qsizetype i = 0; i < batch.size(); ++i) {
                    const DemoItem& item = batch[i];
                    AssetCreationRequest& request = c.creationRequestForAsset();
                    for (const Generated::Resource& r : made[i].resources)
                        request.addResource(r.type, r.data, {r.name, r.uti});
                    if (item.date) {
                        request.creationDate = item.date->toUTC();
                        request.creationOffsetSeconds = item.date->toLocalTime().offsetFromUtc();
                    }
                    request.location = item.location;
                    request.favorite = item.favorite;
                    request.hidden = item.hidden;
                    for (const QString& title : item.albums)
                        members[title].push_back(request.placeholderForCreatedAsset());
                }
                for (auto it = members.cbegin(); it != members.cend(); ++it)
                    if (const CollectionPtr album = albums.value(it.key()))
                        c.changeRequestForAssetCollection(album)->addAssets(it.value());
            });
            if (progress)
                progress(int(std::min(items.size(), start + batchSize)), int(items.size()));
        }
    } catch (...) {
        // Nothing was at `path` before: what is there now is this half-made library.
        library.reset();
        QDir(libraryPath).removeRecursively();
        throw;
    }
}

} // namespace photolib
