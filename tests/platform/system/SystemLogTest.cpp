#include "platform/system/SystemLog.h"

#include "BuildInfo.h"
#include "support/ObservedLog.h"

#include <QScopeGuard>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>

using sys::SystemLog;
using sys::SystemLogEntry;

namespace {

QStringList asText(const QList<QByteArray>& fields) {
    QStringList text;
    for (const QByteArray& f : fields)
        text << QString::fromUtf8(f);
    return text;
}

} // namespace

TEST(SystemLog, MessagesGoOutUnchangedWithTheBundleIdentifierCategoryAndLevel) {
    testsupport::ObservedLog observed;
    SystemLog::ingest().log("  Step 1/4: back up “IMG_0001.CR3” → 100%");
    SystemLog::updates().info("checked\nsecond line");
    const auto entries = observed.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(entries[0].subsystem.isEmpty());
    for (const auto& entry : entries)
        EXPECT_EQ(entry.subsystem, QString::fromUtf8(buildinfo::bundleIdentifier));
    EXPECT_EQ(entries[0].message, "  Step 1/4: back up “IMG_0001.CR3” → 100%");
    EXPECT_EQ(entries[0].category, "ingest");
    EXPECT_EQ(entries[0].priority, SystemLog::defaultPriority);
    EXPECT_EQ(entries[1].message, "checked\nsecond line");
    EXPECT_EQ(entries[1].category, "updates");
    EXPECT_EQ(entries[1].priority, SystemLog::infoPriority);
    // They went to the real journal, or nowhere where there is none, without failing.
    EXPECT_TRUE(SystemLog::flush(10000));
}

TEST(SystemLog, JournalFields) {
    const SystemLogEntry entry{"org.example.App", "ingest", "Found 3 image files — “ok”", 5};
    EXPECT_EQ(asText(SystemLog::journalFields(entry, "twinslim")),
              (QStringList{"MESSAGE=Found 3 image files — “ok”", "PRIORITY=5",
                           "SYSLOG_IDENTIFIER=twinslim", "SUBSYSTEM=org.example.App",
                           "CATEGORY=ingest"}));
    // A plain diagnostic line has no category field.
    const SystemLogEntry plain{"org.example.App", "", "Twinslim: failed", 6};
    EXPECT_EQ(asText(SystemLog::journalFields(plain, "twinslim")),
              (QStringList{"MESSAGE=Twinslim: failed", "PRIORITY=6", "SYSLOG_IDENTIFIER=twinslim",
                           "SUBSYSTEM=org.example.App"}));
}

TEST(SystemLog, StalledJournalNeverBlocksTheCallerAndTheQueueStaysBounded) {
    // Messages of earlier tests go to their own destination first.
    ASSERT_TRUE(SystemLog::flush(10000));
    // A destination that stops at its first message until released, like a stalled journal.
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    QStringList received;
    SystemLog::setTransport([&](const SystemLogEntry& entry) {
        std::unique_lock lock(mutex);
        received.push_back(entry.message);
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    });
    const auto release = [&] {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    };
    const auto restore = qScopeGuard([&] {
        release();
        SystemLog::flush(10000);
        SystemLog::setTransport({});
    });
    SystemLog::ingest().log("first");
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return !received.empty(); }));
    }
    const qint64 droppedBefore = SystemLog::droppedCount();

    // Capacity messages fill the queue; ten more are dropped. Run on another thread so a
    // blocking implementation shows up as a timeout here rather than a hung test.
    auto logging = std::async(std::launch::async, [] {
        for (size_t i = 0; i < SystemLog::queueCapacity + 10; ++i)
            SystemLog::ingest().log(QStringLiteral("message %1").arg(i));
    });
    ASSERT_EQ(logging.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(SystemLog::droppedCount() - droppedBefore, 10);
    EXPECT_FALSE(SystemLog::flush(50)); // still stalled

    release();
    EXPECT_TRUE(SystemLog::flush(10000));
    std::lock_guard lock(mutex);
    ASSERT_EQ(received.size(), qsizetype(SystemLog::queueCapacity + 1));
    EXPECT_EQ(received.first(), "first");
    EXPECT_EQ(received.last(),
              QStringLiteral("message %1").arg(SystemLog::queueCapacity - 1)); // order kept
}
