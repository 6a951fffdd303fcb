#include "PhotolibTestSupport.h"

#include "fixtures/ImageFixtures.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QThread>
#include <csignal>

// Killing photolib at any moment of an import must leave a library that checks clean
// and holds only whole items.
TEST_F(PhotolibTest, KillingAnImportAtRandomMomentsLeavesACleanLibrary) {
    const QString cam = tmp.path() + "/cam";
    const QByteArray jpeg = fixtures::makeJpeg({256, 256});
    for (int i = 0; i < 150; ++i) {
        testsupport::writeFile(cam + QString("/IMG_%1.JPG").arg(i, 4, 10, QChar('0')), jpeg);
        testsupport::writeFile(cam + QString("/IMG_%1.DNG").arg(i, 4, 10, QChar('0')),
                               QByteArray(400000 + i, char(i)));
    }
    QRandomGenerator random(20261206);
    int killedMidway = 0;
    for (int round = 0; round < 6; ++round) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(testsupport::photolibPath(), {"import", cam});
        ASSERT_TRUE(p.waitForStarted());
        QThread::msleep(random.bounded(20, 400));
        if (p.state() == QProcess::Running) {
            ::kill(pid_t(p.processId()), SIGKILL);
            ++killedMidway;
        }
        p.waitForFinished();
        Result check = photolib({"check"});
        EXPECT_EQ(check.status, 0) << "round " << round << ": " << check.out.toStdString();
        for (const auto& v : listJson())
            EXPECT_EQ(v.toObject()["resources"].toArray().size(), 2); // never half an item
    }
    EXPECT_GT(killedMidway, 0);
    // Finishing the import afterwards completes the library without duplicates.
    ASSERT_EQ(photolib({"import", cam}).status, 0);
    EXPECT_EQ(listJson().size(), 150);
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
