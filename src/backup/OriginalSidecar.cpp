#include "backup/OriginalSidecar.h"

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

    QStringList lines;
    for (const auto& [key, value] : values)
        lines << QStringLiteral("  ") + quoted(key) + QStringLiteral(" : ") + value;
    return (QStringLiteral("{\n") + lines.join(QStringLiteral(",\n")) + QStringLiteral("\n}"))
        .toUtf8();
}

} // namespace twinslim
