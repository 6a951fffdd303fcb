#include "PairListing.h"

#include "core/ByteCountFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <array>

namespace twinslimcli {

using twinslim::PhotoPair;

namespace {

const QString absent = QStringLiteral("—");

QString sizeText(const std::optional<qint64>& bytes) {
    return bytes ? twinslim::formatByteCount(*bytes) : absent;
}

QJsonValue sizeJson(const std::optional<qint64>& bytes) {
    return bytes ? QJsonValue(double(*bytes)) : QJsonValue(QJsonValue::Null);
}

} // namespace

QString pairTable(const std::vector<PhotoPair>& pairs) {
    if (pairs.empty())
        return {};
    constexpr size_t columns = 8;
    using Row = std::array<QString, columns>;
    // Sizes are right-aligned so their units line up.
    constexpr std::array<bool, columns> rightAligned = {false, false, false, false,
                                                        false, false, true,  true};
    std::vector<Row> rows;
    rows.push_back({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("★ ✎"),
                    QStringLiteral("Albums"), QStringLiteral("RAW"), QStringLiteral("Type"),
                    QStringLiteral("RAW Size"), QStringLiteral("JPEG Size")});
    const QLocale locale;
    for (const PhotoPair& pair : pairs) {
        QStringList flags;
        if (pair.isFavorite)
            flags << QStringLiteral("★");
        if (pair.isEdited)
            flags << QStringLiteral("✎");
        rows.push_back({pair.id,
                        pair.creationDate ? locale.toString(pair.creationDate->toLocalTime(),
                                                            QLocale::ShortFormat)
                                          : absent,
                        flags.join(QLatin1Char(' ')), pair.albumsText(), pair.rawFilename,
                        pair.rawUTI, sizeText(pair.rawBytes), sizeText(pair.jpegBytes)});
    }
    std::array<qsizetype, columns> widths{};
    for (const Row& row : rows)
        for (size_t c = 0; c < columns; ++c)
            widths[c] = std::max(widths[c], row[c].size());
    QString table;
    for (const Row& row : rows) {
        QStringList cells;
        for (size_t c = 0; c < columns; ++c)
            cells << (rightAligned[c] ? row[c].rightJustified(widths[c])
                                      : row[c].leftJustified(widths[c]));
        table += cells.join(QStringLiteral("  ")).trimmed() + QLatin1Char('\n');
    }
    return table;
}

QByteArray pairJson(const std::vector<PhotoPair>& pairs) {
    QJsonArray array;
    for (const PhotoPair& pair : pairs) {
        QJsonObject o;
        o.insert(QStringLiteral("id"), pair.id);
        o.insert(QStringLiteral("creationDate"),
                 pair.creationDate ? QJsonValue(pair.creationDate->toUTC().toString(Qt::ISODate))
                                   : QJsonValue(QJsonValue::Null));
        o.insert(QStringLiteral("isFavorite"), pair.isFavorite);
        o.insert(QStringLiteral("isEdited"), pair.isEdited);
        o.insert(QStringLiteral("albumNames"), QJsonArray::fromStringList(pair.albumNames));
        o.insert(QStringLiteral("rawFilename"), pair.rawFilename);
        o.insert(QStringLiteral("rawUTI"), pair.rawUTI);
        o.insert(QStringLiteral("rawBytes"), sizeJson(pair.rawBytes));
        o.insert(QStringLiteral("jpegBytes"), sizeJson(pair.jpegBytes));
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

QString scanStatus(qsizetype pairCount, qint64 reclaimableBytes) {
    return QStringLiteral("%1 %2 · %3 reclaimable")
        .arg(QString::number(pairCount),
             pairCount == 1 ? QStringLiteral("pair") : QStringLiteral("pairs"),
             twinslim::formatByteCount(reclaimableBytes));
}

} // namespace twinslimcli
