#include "backup/OriginalSidecar.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <map>

namespace twinslim {
namespace {

// JSON string escaping that also escapes "/", which general-purpose writers leave alone;
// readers of the sidecar may rely on either form, so it follows the common encoder default.
QString quoted(const QString& text) {
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QStringLiteral("\\\"");
            break;
        case '\\':
            out += QStringLiteral("\\\\");
            break;
        case '/':
            out += QStringLiteral("\\/");
            break;
        case '\b':
            out += QStringLiteral("\\b");
            break;
        case '\f':
            out += QStringLiteral("\\f");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

QString isoUtc(const QDateTime& moment) {
    return moment.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

} // namespace

QByteArray OriginalSidecar::encoded() const {
    // Sorted by key: the std::map orders them as a sorted-keys encoder would.
    std::map<QString, QString> values;
    values[QStringLiteral("oldAssetID")] = quoted(oldAssetID);
    if (newAssetID)
        values[QStringLiteral("newAssetID")] = quoted(*newAssetID);
    if (captureDate && captureDate->isValid())
        values[QStringLiteral("captureDate")] = quoted(isoUtc(*captureDate));
    values[QStringLiteral("favorite")] =
        favorite ? QStringLiteral("true") : QStringLiteral("false");
    values[QStringLiteral("originalJPEGFilename")] = quoted(originalJPEGFilename);
    if (originalRAWFilename)
        values[QStringLiteral("originalRAWFilename")] = quoted(*originalRAWFilename);
    values[QStringLiteral("backupJPEGFile")] = quoted(backupJPEGFile);
    if (backupRAWFile)
        values[QStringLiteral("backupRAWFile")] = quoted(*backupRAWFile);
    values[QStringLiteral("outputFormat")] = quoted(outputFormat);
    if (!backupSidecarFiles.isEmpty()) {
        QStringList names;
        for (const QString& name : backupSidecarFiles)
            names << QStringLiteral("    ") + quoted(name);
        values[QStringLiteral("backupSidecarFiles")] =
            QStringLiteral("[\n") + names.join(QStringLiteral(",\n")) + QStringLiteral("\n  ]");
    }
    if (!backupFileSizes.empty()) {
        QStringList sizes;
        for (const auto& [name, size] : backupFileSizes)
            sizes << QStringLiteral("    ") + quoted(name) + QStringLiteral(" : ") +
                         QString::number(size);
        values[QStringLiteral("backupFileSizes")] =
            QStringLiteral("{\n") + sizes.join(QStringLiteral(",\n")) + QStringLiteral("\n  }");
    }
    if (renderedJPEG)
        values[QStringLiteral("renderedJPEG")] = QStringLiteral("true");
    if (restoredAt && restoredAt->isValid())
        values[QStringLiteral("restoredAt")] = quoted(isoUtc(*restoredAt));

    QStringList lines;
    for (const auto& [key, value] : values)
        lines << QStringLiteral("  ") + quoted(key) + QStringLiteral(" : ") + value;
    return (QStringLiteral("{\n") + lines.join(QStringLiteral(",\n")) + QStringLiteral("\n}"))
        .toUtf8();
}

std::optional<OriginalSidecar> OriginalSidecar::decoded(const QByteArray& json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject o = document.object();
    const QJsonValue old = o.value(QStringLiteral("oldAssetID"));
    if (!old.isString() || old.toString().isEmpty())
        return std::nullopt;
    const auto date = [&o](const char* key) -> std::optional<QDateTime> {
        const QDateTime moment =
            QDateTime::fromString(o.value(QLatin1String(key)).toString(), Qt::ISODate);
        return moment.isValid() ? std::optional(moment.toUTC()) : std::nullopt;
    };
    const auto text = [&o](const char* key) -> std::optional<QString> {
        const QJsonValue value = o.value(QLatin1String(key));
        return value.isString() ? std::optional(value.toString()) : std::nullopt;
    };
    OriginalSidecar record;
    record.oldAssetID = old.toString();
    record.newAssetID = text("newAssetID");
    record.captureDate = date("captureDate");
    record.favorite = o.value(QStringLiteral("favorite")).toBool();
    record.originalJPEGFilename = text("originalJPEGFilename").value_or(QString());
    record.originalRAWFilename = text("originalRAWFilename");
    record.backupJPEGFile = text("backupJPEGFile").value_or(QString());
    record.backupRAWFile = text("backupRAWFile");
    if (record.backupRAWFile && record.backupRAWFile->isEmpty())
        record.backupRAWFile.reset();
    record.outputFormat = text("outputFormat").value_or(QString());
    for (const QJsonValue& name : o.value(QStringLiteral("backupSidecarFiles")).toArray())
        if (name.isString())
            record.backupSidecarFiles << name.toString();
    const QJsonObject sizes = o.value(QStringLiteral("backupFileSizes")).toObject();
    for (auto it = sizes.begin(); it != sizes.end(); ++it)
        if (it.value().isDouble() && it.value().toDouble() >= 0)
            record.backupFileSizes[it.key()] = qint64(it.value().toDouble());
    record.renderedJPEG = o.value(QStringLiteral("renderedJPEG")).toBool();
    record.restoredAt = date("restoredAt");
    return record;
}

} // namespace twinslim
