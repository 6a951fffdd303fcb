// Telling that another program has a library open, as digiKam and Shotwell keep no lock file.
#include "platform/photos/shared/OpenFileHolders.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace photos;

TEST(OpenFileHolders, FindsAnotherProgramHoldingTheFileOrItsJournalButNeverThisOne) {
    QTemporaryDir tmp;
    const QString db = tmp.path() + "/digikam4.db", wal = db + "-wal";
    testsupport::writeFile(db, "database");
    testsupport::writeFile(wal, "log");
    QFile own(db); // this program's own handle is no other program's
    ASSERT_TRUE(own.open(QIODevice::ReadOnly));
    EXPECT_FALSE(processHoldingOpen(db));

    const auto holding = [&](const QString& file) {
        auto p = std::make_unique<QProcess>();
        // bash itself holds it, until its input ends.
        p->start("bash", {"-c", "exec 3<\"$1\"; echo ready; read -r line", "_", file});
        EXPECT_TRUE(p->waitForReadyRead(10000));
        return p;
    };
    {
        const auto holder = holding(wal);
        const auto found = processHoldingOpen(db);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->pid, holder->processId());
        EXPECT_EQ(found->command, "bash");
        // The same file by another path is the same file.
        ASSERT_TRUE(QFile::link(db, tmp.path() + "/link.db"));
        EXPECT_FALSE(processHoldingOpen(tmp.path() + "/other.db"));
        holder->kill();
        holder->waitForFinished();
    }
    EXPECT_FALSE(processHoldingOpen(db));
    const auto holder = holding(db);
    EXPECT_TRUE(processHoldingOpen(tmp.path() + "/link.db"));
    holder->kill();
    holder->waitForFinished();
}
