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
