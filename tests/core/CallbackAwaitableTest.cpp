#include "core/CallbackAwaitable.h"
#include "core/EventLoop.h"

#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using twinslim::CallbackAwaitable;
using twinslim::CallbackDropped;
using IntAwaitable = CallbackAwaitable<int>;

namespace {

struct Record {
    int resumptions = 0;
    QThread* resumedOn = nullptr;
    std::optional<int> value;
    QString error;
};

// Awaits the starter's answer and notes how and where the coroutine resumed.
std::shared_ptr<Record> awaitInt(IntAwaitable::Starter starter) {
    auto record = std::make_shared<Record>();
    [](IntAwaitable::Starter starter, std::shared_ptr<Record> record) -> QCoro::Task<> {
        try {
            IntAwaitable answer(std::move(starter));
            record->value = co_await answer;
        } catch (const CallbackDropped&) {
            record->error = QStringLiteral("dropped");
        } catch (const std::exception& e) {
            record->error = QString::fromUtf8(e.what());
        }
        record->resumedOn = QThread::currentThread();
        ++record->resumptions;
    }(std::move(starter), record);
    return record;
}

// Waits for the first resumption, then lets any further one that was wrongly posted run.
void settle(const Record& record) {
    ASSERT_TRUE(testloop::spinUntil([&] { return record.resumptions > 0; }));
    testloop::drain();
    EXPECT_EQ(record.resumptions, 1);
    EXPECT_EQ(record.resumedOn, QThread::currentThread());
}

} // namespace

TEST(CallbackAwaitable, FirstAnswerResumesOnceFromTheAwaitingThreadsEventLoop) {
    std::atomic<int> accepted = 0;
    std::vector<std::thread> threads;
    auto record = awaitInt([&](IntAwaitable::Resolver resolver) {
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([resolver, i, &accepted] { accepted += resolver.resolve(i); });
    });
    for (auto& t : threads)
        t.join();
    settle(*record);
    EXPECT_EQ(accepted.load(), 1);
    EXPECT_TRUE(record->value.has_value());

    // An answer given at once is posted too: the code after co_await never runs inside
    // the starter's call.
    std::vector<bool> answers;
    record = awaitInt([&](IntAwaitable::Resolver resolver) {
        answers = {resolver.resolve(1), resolver.resolve(2),
                   resolver.reject(std::runtime_error(""))};
    });
    EXPECT_EQ(record->resumptions, 0);
    settle(*record);
    EXPECT_EQ(record->value, 1);
    EXPECT_EQ(answers, (std::vector<bool>{true, false, false}));
}

TEST(CallbackAwaitable, FailuresResumeOnceWithAnError) {
    // {starter, expected value, expected error}
    const std::vector<std::tuple<IntAwaitable::Starter, std::optional<int>, QString>> cases = {
        {[](auto resolver) { resolver.reject(std::runtime_error("disk gone")); }, {}, "disk gone"},
        {[](auto) { throw std::runtime_error("cannot start"); }, {}, "cannot start"},
        {[](auto) {}, {}, "dropped"}, // the callback was never kept
        {[](auto resolver) {
             resolver.resolve(5);
             throw std::runtime_error("after the answer");
         },
         5, ""}};
    for (const auto& [starter, value, error] : cases) {
        const auto record = awaitInt(starter);
        settle(*record);
        EXPECT_EQ(record->value, value);
        EXPECT_EQ(record->error, error);
    }

    // A callback kept for a while and then dropped unanswered ends the wait, not before.
    auto keeper = std::make_shared<std::optional<IntAwaitable::Resolver>>();
    const auto record = awaitInt([keeper](IntAwaitable::Resolver resolver) { *keeper = resolver; });
    testloop::drain();
    EXPECT_EQ(record->resumptions, 0);
    keeper->reset();
    settle(*record);
    EXPECT_EQ(record->error, "dropped");
}
