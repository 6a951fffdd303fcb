#include "CliTestSupport.h"

#include <QThread>

using namespace clitest;

namespace {

// One shot of the camera: capture instant and name stem.
QString shot(const Item& item) {
    return item.instant().toUTC().toString(Qt::ISODate) + " " + item.stem();
}

} // namespace

// An ingest killed at any moment loses no original: whatever left the library (or waits to
// leave it in the marker album) has its backups in place, the library is intact, and
// running the ingest and the clean-up again finishes the job, replacing each original once.
// TWINSLIM_KILL_ROUNDS sets the number of rounds (scripts/kill-ingest-rounds).
class KillRounds : public CliTest {};

TEST_F(KillRounds, KilledIngestNeverLosesAnOriginal) {
    const Prepared& made = prepared();
    grantAccess();
    env.insert("PHOTOLIB_LIBRARY", made.library);
    std::vector<Item> members = items({"--album", "Twinslim Favs"});
    for (const Item& item : items({"--album", "Twinslim NonFavs"}))
        members.push_back(item);
    ASSERT_GE(members.size(), 10u);

    QString dir;
    auto restore = [&](int round) {
        if (!dir.isEmpty())
            QDir(dir).removeRecursively(); // the round before passed
        dir = tmp.path() + QString("/round-%1").arg(round);
        env.insert("PHOTOLIB_LIBRARY", dir + "/Lib.photolibrary");
        copyTree(made.library, dir + "/Lib.photolibrary");
        QDir().mkpath(dir + "/backup");
        ok(cli({"backup-folder", dir + "/backup"}));
    };
    auto expectNothingLost = [&](bool finished) {
        EXPECT_EQ(photolib({"check"}).status, 0);
        const QMap<QString, Item> listed = byId(items());
        const QString inTrash = ok(photolib({"trash", "list"})).out; // a line per item
        const QSet<QString> waiting = this->waiting();
        const QMap<QString, qint64> backups = filesUnder(dir + "/backup");
        for (const Item& original : members) {
            SCOPED_TRACE(original.id.toStdString());
            const bool left = !listed.contains(original.id);
            EXPECT_EQ(left, inTrash.contains(original.id));
            if (left || waiting.contains(original.id)) {
                EXPECT_TRUE(hasCompleteBackups(original, backups));
            }
            if (finished) {
                EXPECT_TRUE(left);
            }
        }
        if (!finished)
            return;
        // Each original replaced exactly once: one item per capture date and name stem.
        QMap<QString, int> perShot;
        for (const Item& item : listed)
            ++perShot[shot(item)];
        for (auto it = perShot.cbegin(); it != perShot.cend(); ++it)
            EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        for (const Item& original : members)
            EXPECT_EQ(perShot.value(shot(original)), 1);
    };
    killRounds(
        made.exported, 10, 20261206, restore, [](int) { return 3000; }, expectNothingLost);
}
