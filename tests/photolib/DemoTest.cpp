#include "DemoLibrary.h"
#include "PhotolibTestSupport.h"
#include "fixtures/ImageFixtures.h"

#include <QDir>
#include <QFileInfo>

using namespace photolib;

// The library as photolib lists it must hold what the demo promises, and check clean.
TEST_F(PhotolibTest, DemoBuildsTheRangeOfItemsTheScanMustTellApart) {
    QDir(library).removeRecursively(); // the demo makes it
    Result r = photolib({"demo", "--pairs", "14", library});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Created the demonstration library " + library +
                         ": 14 RAW+JPEG pairs (4 favourites, 2 edited, 1 hidden, 1 without a "
                         "capture date), 3 RAW-only, 3 JPEG-only, 1 RAW+HEIC, 1 edited RAW with "
                         "a JPEG rendering; albums: Holidays, Best of, Family.\n");

    const std::vector<Item> all = items();
    ASSERT_EQ(all.size(), 14u + 3 + 3 + 1 + 1);
    int pairs = 0, favorites = 0, hidden = 0, undated = 0, edited = 0, rawOnly = 0, jpegOnly = 0;
    int recent = 0, quarter = 0, old = 0, located = 0;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const Item& item : all) {
        const bool raw = item.sizeOf("com.adobe.raw-image") >= 0;
        const bool jpeg = item.sizeOf("public.jpeg") >= 0;
        const bool heic = item.sizeOf("public.heic") >= 0;
        const bool isPair = raw && jpeg && item.hasType(1) && item.hasType(4);
        pairs += isPair;
        rawOnly += raw && !jpeg && !heic && !item.hasType(5);
        jpegOnly += jpeg && !raw;
        if (isPair) {
            favorites += item.favorite;
            hidden += item.hidden;
            undated += item.date.isNull();
            edited += item.hasType(7) && item.hasType(5);
        }
        located += !item.location.isNull();
        if (!item.date.isNull()) {
            const qint64 days = item.instant().secsTo(now) / 86400;
            EXPECT_GE(days, 0);
            EXPECT_LT(days, 731);
            recent += days < 30;
            quarter += days >= 30 && days < 90;
            old += days > 365;
        }
    }
    EXPECT_EQ(pairs, 14);
    EXPECT_EQ(favorites, 4);
    EXPECT_EQ(hidden, 1);
    EXPECT_EQ(undated, 1);
    EXPECT_EQ(edited, 2);
    EXPECT_EQ(rawOnly, 3);
    EXPECT_EQ(jpegOnly, 3);
    EXPECT_GE(recent, 3);
    EXPECT_GE(quarter, 3);
    EXPECT_GE(old, 3);
    EXPECT_GT(located, 0);
    EXPECT_LT(located, int(all.size()));
    // The pair rule counts any JPEG with a RAW: the edited RAW with its rendering too.
    EXPECT_EQ(items({"--pairs"}).size(), 15u);
    EXPECT_EQ(items({"--album", "Best of", "--favorites"}).size(),
              items({"--album", "Best of", "--pairs"}).size() - 1); // all but the edited RAW

    Result check = photolib({"check"});
    EXPECT_EQ(check.status, 0) << check.out.toStdString();
    EXPECT_EQ(photolib({"check", "--decode"}).status, 0);

    // A JPEG damaged inside keeps its size, so only decoding it shows the damage.
    const QString damaged = std::find_if(all.begin(), all.end(), [](const Item& item) {
                                return item.resources.front().uti == "public.jpeg";
                            })->id;
    const QString stored =
        photolib({"show", damaged}).out.section("stored: ", 1, 1).section('\n', 0, 0);
    QFile file(stored);
    ASSERT_TRUE(stored.endsWith(".jpg") && file.open(QIODevice::ReadWrite)) << stored.toStdString();
    file.write(QByteArray(4, '\0'));
    file.close();
    EXPECT_EQ(photolib({"check"}).status, 0);
    const Result decoding = photolib({"check", "--decode"});
    EXPECT_EQ(decoding.status, 1);
    EXPECT_TRUE(decoding.out.startsWith("item " + damaged + ": ")) << decoding.out.toStdString();
    EXPECT_TRUE(decoding.out.contains("does not decode as a picture"));
}

TEST_F(PhotolibTest, DemoNeverBuildsOverSomethingThatExists) {
    QDir(library).removeRecursively();
    QDir().mkpath(library);
    testsupport::writeFile(library + "/keep.txt", "mine");
    Result r = photolib({"demo", "--pairs", "1", library});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "photolib: Something already exists at “" + library + "”.\n");
    EXPECT_EQ(QDir(library).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"keep.txt"});
}

// A failure halfway leaves nothing behind: the half-made library goes again.
TEST(DemoLibraryCreation, AFailureRemovesTheHalfMadeLibrary) {
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/Half.photolibrary";
    auto items = planDemo(12, QDateTime::currentDateTimeUtc());
    items[10].size = QSize(); // no picture: its encoding fails, after a first batch is stored
    int progressCalls = 0;
    EXPECT_ANY_THROW(createDemoLibrary(path, items, [&](int, int) { ++progressCalls; }));
    EXPECT_EQ(progressCalls, 1);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

// The start script gives a demonstration library only to a newcomer: nothing chosen and no
// pictures at the default location. A library the user chose stays chosen, whatever its kind,
// even empty or not there now (an unmounted disk).
TEST_F(PhotolibTest, TheStartScriptReplacesNoChosenLibraryWithTheDemo) {
    env.remove("PHOTOLIB_LIBRARY");
    const QString pictures = tmp.path() + "/home/Pictures";
    const QString demo = pictures + "/Demo.photolibrary",
                  photos = pictures + "/Photos.photolibrary";
    ASSERT_EQ(photolib({"create", demo}).status, 0); // built once already: only chosen here
    const QString folder = tmp.path() + "/Camera", empty = tmp.path() + "/Empty";
    fixtures::makeJpegFile(folder + "/IMG_1.JPG", {32, 32});
    QDir().mkpath(empty);
    const auto start = [&] {
        const Result r = tooltest::run(
            env, "bash",
            {testsupport::sourcePath("scripts/demo-when-empty"), testsupport::photolibPath()});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
    };
    const std::pair<QString, bool> choices[] = {{folder, false}, {empty, false}, {empty, true}};
    int round = 0;
    for (const auto& [choice, gone] : choices) {
        SCOPED_TRACE(choice.toStdString());
        env.insert("XDG_CONFIG_HOME", tmp.path() + "/config" + QString::number(++round));
        ASSERT_EQ(photolib({"use", choice}).status, 0);
        if (gone) { // its disk is not mounted when Twinslim starts
            ASSERT_TRUE(QDir().rename(choice, choice + "-elsewhere"));
        }
        start();
        EXPECT_TRUE(testsupport::readFile(env.value("XDG_CONFIG_HOME") + "/photolib/photolib.ini")
                        .contains(("library=" + choice).toUtf8()));
    }
    // Nothing chosen: pictures at the default location keep it; none there bring the demo.
    env.insert("XDG_CONFIG_HOME", tmp.path() + "/config-default");
    ASSERT_EQ(photolib({"import", folder}).status, 0); // makes the default library on first use
    start();
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/config-default/photolib/photolib.ini"));
    QDir(photos).removeRecursively();
    start();
    EXPECT_TRUE(testsupport::readFile(tmp.path() + "/config-default/photolib/photolib.ini")
                    .contains(("library=" + demo).toUtf8()));
    EXPECT_FALSE(QFileInfo::exists(photos)); // the missing default library is not made
}
