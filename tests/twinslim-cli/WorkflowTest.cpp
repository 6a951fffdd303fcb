#include "CliTestSupport.h"

#include "core/ByteCountFormat.h"

#include <QLocale>
#include <QRegularExpression>

using namespace clitest;

namespace {

qint64 totalSize(const QString& folder) {
    qint64 sum = 0;
    for (qint64 size : filesUnder(folder))
        sum += size;
    return sum;
}

} // namespace

// The whole workflow through the real programs, as the README walks through it.
TEST_F(CliTest, WorkflowReplacesEveryChosenPairKeepingItsMetadata) {
    // 13 pairs (three favourites, one hidden, two edited, one undated) and items that are no pairs.
    copyTree(demoLibrary(), library);
    const std::vector<Item> before = items();
    std::vector<Item> originals; // what the scan offers: the visible pairs
    for (const Item& item : before)
        if (item.isPair() && !item.hidden)
            originals.push_back(item);
    ASSERT_GE(originals.size(), 10u);

    // The scan offers the visible pairs, largest RAW first, with the sizes the library holds;
    // --yes grants access without a terminal.
    const QJsonArray scanned =
        QJsonDocument::fromJson(ok(cli({"--yes", "scan", "--range", "all", "--json"})).out.toUtf8())
            .array();
    ASSERT_EQ(scanned.size(), qsizetype(originals.size()));
    const QMap<QString, Item> offered = byId(originals);
    qint64 previousRaw = std::numeric_limits<qint64>::max(), totalRaw = 0;
    int favourites = 0;
    for (const QJsonValue& v : scanned) {
        const Item item = offered.value(v["id"].toString());
        SCOPED_TRACE(item.id.toStdString());
        const qint64 raw = qint64(v["rawBytes"].toDouble());
        EXPECT_EQ(raw, item.sizeOf("com.adobe.raw-image"));
        EXPECT_EQ(qint64(v["jpegBytes"].toDouble()), item.sizeOf("public.jpeg"));
        EXPECT_LE(raw, previousRaw);
        previousRaw = raw;
        totalRaw += raw;
        EXPECT_EQ(v["isFavorite"].toBool(), item.favorite);
        EXPECT_EQ(v["creationDate"].isNull(), item.date.isNull());
        favourites += item.favorite;
    }
    // The table: a header, a row per shown pair, and the status of all pairs.
    QLocale::setDefault(QLocale::c()); // the programs run in the C locale
    const QStringList table = ok(cli({"scan", "--range", "all", "--show", "favorites"}))
                                  .out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(table.size(), favourites + 2);
    EXPECT_EQ(table.mid(1, favourites).filter(" ★ ").size(), favourites);
    EXPECT_EQ(table.back(), QString("%1 pairs · %2 reclaimable")
                                .arg(originals.size())
                                .arg(twinslim::formatByteCount(totalRaw)));
    const QString backup = tmp.path() + "/Backups";
    QDir().mkpath(backup);
    ok(cli({"backup-folder", backup}));

    // The export albums hold exactly the selection, each pair in the album of its flag; a
    // selection naming something that is no pair adds nothing.
    auto selected = [&] {
        QSet<QString> in;
        for (const char* album : {"Twinslim Favs", "Twinslim NonFavs"})
            for (const Item& item :
                 parseItems(photolib({"list", "--album", album, "--json"}).out)) {
                in.insert(item.id);
                EXPECT_EQ(item.favorite, QString(album) == "Twinslim Favs");
            }
        return in;
    };
    auto idAt = [&](int i) { return scanned[i]["id"].toString(); };
    EXPECT_EQ(cli({"albums", "--range", "all", "--ids", idAt(0), "NOT-A-PAIR/L0/001"}).status, 1);
    EXPECT_TRUE(selected().isEmpty());
    ok(cli({"albums", "--range", "all", "--first", "2"}));
    EXPECT_EQ(selected(), (QSet<QString>{idAt(0), idAt(1)}));
    ok(cli({"albums", "--range", "all", "--ids", idAt(3)}));
    EXPECT_EQ(selected(), (QSet<QString>{idAt(0), idAt(1), idAt(3)}));
    ok(cli({"albums", "--range", "all", "--all"}));
    EXPECT_EQ(selected(), ids(originals));
    const QString exported = tmp.path() + "/Exported";
    ok(photolib({"export", "--album", "Twinslim Favs", "--format", "heic", exported}));
    // The favourites as HEIC, the others as JPEG: both kinds of exported file.
    ok(photolib({"export", "--album", "Twinslim NonFavs", "--format", "jpeg", "--max-size", "2048",
                 exported}));
    const qint64 libraryBytes = totalSize(library + "/resources");

    // A dry run matches every file and changes nothing.
    const QString listing = ok(photolib({"list", "--json"})).out;
    const Result dry = ok(cli({"ingest", "--dry-run", exported}));
    EXPECT_EQ(dry.out.count("\nMATCH "), qsizetype(originals.size()));
    EXPECT_TRUE(dry.out.contains(QString("Dry run: would replace %1 items (0 unmatched, 0 "
                                         "ambiguous), reclaiming ")
                                     .arg(originals.size())))
        << dry.out.toStdString();
    EXPECT_EQ(ok(photolib({"list", "--json"})).out, listing);
    EXPECT_TRUE(filesUnder(backup).isEmpty());

    const Result run = ok(cli({"ingest", "--yes", exported}));
    EXPECT_TRUE(run.err.contains(QString("Delete %1 items? [y/N] yes").arg(originals.size())));

    // No replaced pair is left; each new item carries its original's metadata.
    EXPECT_EQ(ok(cli({"scan", "--range", "all", "--json"})).out.trimmed(), "[\n]");
    const std::vector<Item> after = items();
    const QMap<QString, Item> old = byId(before);
    const QMap<QString, qint64> files = filesUnder(backup);
    const QString trash = ok(photolib({"trash", "list"})).out;
    QSet<QString> expectedFiles;
    for (const Item& original : originals) {
        SCOPED_TRACE(original.stem().toStdString());
        std::vector<Item> successors;
        for (const Item& item : after) {
            EXPECT_NE(item.id, original.id);
            if (item.stem() == original.stem())
                successors.push_back(item);
        }
        ASSERT_EQ(successors.size(), 1u);
        const Item& made = successors.front();
        EXPECT_FALSE(old.contains(made.id));
        ASSERT_EQ(made.resources.size(), 1u);
        EXPECT_EQ(made.resources.front().uti, original.favorite ? "public.heic" : "public.jpeg");
        EXPECT_EQ(made.instant(), original.instant());
        EXPECT_EQ(made.date.isNull(), original.date.isNull());
        EXPECT_EQ(made.location, original.location);
        EXPECT_EQ(made.favorite, original.favorite);
        EXPECT_EQ(made.albums, original.albums);
        EXPECT_TRUE(trash.contains(original.id));

        // Backups at their final names with the recorded sizes, and the sidecar.
        const QString jpeg = backupOf(original, "public.jpeg", files);
        const QString raw = backupOf(original, "com.adobe.raw-image", files);
        EXPECT_FALSE(jpeg.isEmpty());
        EXPECT_EQ(raw.isEmpty(), !original.favorite);
        const QString sidecarPath = backupDir(original) + "/" + safeID(original) + ".json";
        QJsonParseError error;
        const QJsonObject sidecar =
            QJsonDocument::fromJson(testsupport::readFile(backup + "/" + sidecarPath), &error)
                .object();
        EXPECT_EQ(error.error, QJsonParseError::NoError) << sidecarPath.toStdString();
        EXPECT_EQ(sidecar["oldAssetID"].toString(), original.id);
        EXPECT_EQ(sidecar["newAssetID"].toString(), made.id);
        EXPECT_EQ(sidecar["favorite"], QJsonValue(original.favorite));
        expectedFiles << jpeg << sidecarPath;
        if (!raw.isEmpty())
            expectedFiles << raw;
    }
    // Nothing else left in the export albums, the marker album or the backup folder.
    for (const char* album : {"Twinslim Favs", "Twinslim NonFavs", "TwinslimOriginalsToDelete"})
        EXPECT_TRUE(items({"--album", album}).empty()) << album;
    const QStringList logs = QDir(backup + "/Twinslim-logs").entryList(QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(QRegularExpression("^ingest-\\d{8}-\\d{6}\\.log$").match(logs.front()).hasMatch());
    expectedFiles << "Twinslim-logs/" + logs.front();
    const QStringList stored = files.keys();
    EXPECT_EQ(QSet<QString>(stored.begin(), stored.end()), expectedFiles);

    // The log file holds the lines printed as the run went, and the report names it.
    const QString logPath = backup + "/Twinslim-logs/" + logs.front();
    const QStringList printed = run.out.split('\n', Qt::SkipEmptyParts);
    const QStringList stamped =
        printed.filter(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] "));
    EXPECT_EQ(QString::fromUtf8(testsupport::readFile(logPath)), stamped.join('\n') + '\n');
    EXPECT_TRUE(stamped.back().endsWith(
        QString("] Ingest done: matched=%1 replaced=%1 failed=0 unmatched=0 ambiguous=0")
            .arg(originals.size())));
    EXPECT_EQ(printed.back(), QString("Replaced %1 of %1 matched files. Originals are in Recently "
                                      "Deleted; space frees once it empties. Log: %2")
                                  .arg(originals.size())
                                  .arg(logPath));

    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
    ok(photolib({"trash", "empty"}));
    EXPECT_LT(totalSize(library + "/resources"), libraryBytes);
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
}
