#include "PhotolibTestSupport.h"

#include "fixtures/ImageFixtures.h"
#include "platform/photos/ResourceFiles.h"
#include "platform/photos/SqliteDatabase.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <csignal>

namespace {

// What a killed photolib left in the library, read before anything opens it again.
struct Leftovers {
    int items = 0;
    QStringList pendingOwners; // one per pending file row
    QStringList staleLocks;    // owner locks nobody holds
};

Leftovers leftoversOf(const QString& library) {
    Leftovers l;
    {
        photos::SqliteDatabase db(library + "/catalog.sqlite");
        auto items = db.statement("SELECT count(*) FROM assets");
        items.step();
        l.items = int(items.int64(0));
        auto pending = db.statement("SELECT owner FROM pending_files");
        while (pending.step())
            l.pendingOwners << pending.text(0);
    }
    for (const QString& name : QDir(library + "/locks").entryList({"*.lock"}, QDir::Files))
        if (!photos::OwnerLock::isAlive(library, name.chopped(5)))
            l.staleLocks << name.chopped(5);
    return l;
}

} // namespace

// Killing photolib at any moment of an import, from its start-up to the middle of a change,
// must leave a library that the next opening cleans up, that checks clean and holds only
// whole items.
TEST_F(PhotolibTest, KillingAnImportAtRandomMomentsLeavesACleanLibrary) {
    const QString cam = tmp.path() + "/cam";
    const QByteArray jpeg = fixtures::makeJpeg({256, 256});
    constexpr int total = 150, rounds = 6;
    for (int i = 0; i < total; ++i) {
        testsupport::writeFile(cam + QString("/IMG_%1.JPG").arg(i, 4, 10, QChar('0')), jpeg);
        testsupport::writeFile(cam + QString("/IMG_%1.DNG").arg(i, 4, 10, QChar('0')),
                               QByteArray(400000 + i, char(i)));
    }
    // The kills are timed by how long an import takes here, whole and with everything already
    // in, so that they land inside it on a slow machine as on a fast one.
    const QString scratch = tmp.path() + "/Scratch.photolibrary";
    ASSERT_EQ(photolib({"create", scratch}).status, 0);
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(photolib({"--library", scratch, "import", cam}).status, 0);
    const double whole = double(clock.restart());
    ASSERT_EQ(photolib({"--library", scratch, "import", cam}).status, 0);
    const double present = double(clock.elapsed());

    QRandomGenerator random(20261206);
    int before = 0;        // items in the library when the round starts
    int changesKilled = 0; // rounds killed inside a change after committing an earlier one
    std::string seen;      // for the failure message
    for (int round = 0; round < rounds; ++round) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(testsupport::photolibPath(), {"import", cam});
        ASSERT_TRUE(p.waitForStarted());
        if (round < 2) {
            // Watched: killed as soon as this run has committed items and has files of its
            // next change on the way, so some round surely stops inside a change.
            photos::SqliteDatabase db(library + "/catalog.sqlite");
            while (p.state() == QProcess::Running) {
                auto items = db.statement("SELECT count(*) FROM assets");
                auto pending = db.statement("SELECT count(*) FROM pending_files");
                if (items.step() && items.int64(0) > before && pending.step() &&
                    pending.int64(0) > 0) {
                    ::kill(pid_t(p.processId()), SIGKILL);
                    break;
                }
                QThread::usleep(300);
            }
        } else {
            // Timed: within its own slice of the rest of the run, from start-up to the end.
            const double expected = whole - (whole - present) * before / total;
            QThread::msleep(ulong(expected * (round - 2 + random.generateDouble()) / (rounds - 2)));
            if (p.state() == QProcess::Running)
                ::kill(pid_t(p.processId()), SIGKILL);
        }
        p.waitForFinished();
        const Leftovers left = leftoversOf(library);
        EXPECT_GE(left.items, before) << "round " << round; // committed items stay
        if (left.items > before && left.items < total && !left.pendingOwners.isEmpty() &&
            left.staleLocks.contains(left.pendingOwners.front()))
            ++changesKilled;
        seen += QString(" %1 items, %2 pending;")
                    .arg(left.items)
                    .arg(left.pendingOwners.size())
                    .toStdString();
        before = left.items;
        Result check = photolib({"check"});
        EXPECT_EQ(check.status, 0) << "round " << round << ": " << check.out.toStdString();
        // The check's opening finished or undid the killed change and dropped its lock.
        const Leftovers recovered = leftoversOf(library);
        EXPECT_TRUE(recovered.pendingOwners.isEmpty()) << "round " << round;
        EXPECT_TRUE(QDir(library + "/locks").isEmpty()) << "round " << round;
        for (const auto& v : listJson())
            EXPECT_EQ(v.toObject()["resources"].toArray().size(), 2); // never half an item
    }
    EXPECT_GT(changesKilled, 0) << "import " << whole << " ms, again " << present << " ms;" << seen;
    // Finishing the import afterwards completes the library without duplicates.
    ASSERT_EQ(photolib({"import", cam}).status, 0);
    EXPECT_EQ(listJson().size(), total);
    EXPECT_EQ(photolib({"check"}).status, 0);
}

// Two imports into one library at the same time, of one folder and of it and another: each
// finishes or fails with one line, the library holds whole items only, checks clean and
// has nothing twice.
TEST_F(PhotolibTest, TwoImportsAtOnceLeaveACleanLibrary) {
    const QByteArray jpeg = fixtures::makeJpeg({128, 128});
    for (const char* cam : {"A", "B"})
        for (int i = 0; i < 60; ++i) {
            const QString stem = tmp.path() + QString("/cam%1/%1_%2").arg(cam).arg(i);
            testsupport::writeFile(stem + ".JPG", jpeg);
            testsupport::writeFile(stem + ".DNG", QByteArray(200000 + i, cam[0]));
        }
    const QString camA = tmp.path() + "/camA", camB = tmp.path() + "/camB";
    QProcess a, b;
    for (QProcess* p : {&a, &b})
        p->setProcessEnvironment(env);
    a.start(testsupport::photolibPath(), {"import", camA});
    b.start(testsupport::photolibPath(), {"import", camA, camB});
    for (QProcess* p : {&a, &b}) {
        ASSERT_TRUE(p->waitForFinished(120000));
        const QString err = QString::fromUtf8(p->readAllStandardError());
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        if (p->exitCode() != 0) {
            EXPECT_TRUE(err.startsWith("photolib: ") && err.count('\n') == 1) << err.toStdString();
        }
    }
    EXPECT_EQ(photolib({"check"}).status, 0);
    for (const auto& v : listJson())
        EXPECT_EQ(v.toObject()["resources"].toArray().size(), 2);
    // Whatever failed goes through when it is run again; nothing is there twice.
    ASSERT_EQ(photolib({"import", camA, camB}).status, 0);
    EXPECT_EQ(listJson().size(), 120);
}
