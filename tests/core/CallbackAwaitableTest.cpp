#include "core/CallbackAwaitable.h"
#include "core/EventLoop.h"

#include <QThread>
#include <QThreadPool>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using twinslim::CallbackAwaitable;
using twinslim::CallbackDropped;

namespace {

using IntAwaitable = CallbackAwaitable<int>;

struct Record {
    int resumptions = 0;
    QThread* resumedOn = nullptr;
    std::optional<int> value;
    QString error;
};

QCoro::Task<> awaitInt(IntAwaitable::Starter starter, std::shared_ptr<Record> record) {
    try {
        IntAwaitable answer(std::move(starter));
        const int value = co_await answer;
        record->value = value;
    } catch (const CallbackDropped&) {
        record->error = QStringLiteral("dropped");
    } catch (const std::exception& e) {
        record->error = QString::fromUtf8(e.what());
    }
    record->resumedOn = QThread::currentThread();
    ++record->resumptions;
}

} // namespace

TEST(CallbackAwaitable, ValueFromAnotherThreadResumesOnTheAwaitingThread) {
    auto record = std::make_shared<Record>();
    std::atomic<QThread*> answeredOn = nullptr;
    awaitInt(
        [&](IntAwaitable::Resolver resolver) {
            QThreadPool::globalInstance()->start([resolver, &answeredOn] {
                answeredOn = QThread::currentThread();
                resolver.resolve(42);
            });
        },
        record);
    ASSERT_TRUE(testloop::spinUntil([&] { return record->resumptions > 0; }));
    EXPECT_EQ(record->value, 42);
    EXPECT_NE(answeredOn.load(), QThread::currentThread());
    EXPECT_EQ(record->resumedOn, QThread::currentThread());
}

TEST(CallbackAwaitable, AnswerGivenAtOnceStillResumesFromTheEventLoop) {
    auto record = std::make_shared<Record>();
    awaitInt([](IntAwaitable::Resolver resolver) { resolver.resolve(7); }, record);
    // The code after co_await has not run inside the starter's call.
    EXPECT_EQ(record->resumptions, 0);
    ASSERT_TRUE(testloop::spinUntil([&] { return record->resumptions > 0; }));
    EXPECT_EQ(record->value, 7);
}

TEST(CallbackAwaitable, OnlyTheFirstAnswerCountsAndResumesOnce) {
    auto record = std::make_shared<Record>();
    std::vector<bool> accepted;
    awaitInt(
        [&](IntAwaitable::Resolver resolver) {
            accepted.push_back(resolver.resolve(1));
            accepted.push_back(resolver.resolve(2));
            accepted.push_back(resolver.reject(std::runtime_error("late")));
        },
        record);
    ASSERT_TRUE(testloop::spinUntil([&] { return record->resumptions > 0; }));
    testloop::drain();
    EXPECT_EQ(record->resumptions, 1);
    EXPECT_EQ(record->value, 1);
    EXPECT_TRUE(record->error.isEmpty());
    EXPECT_EQ(accepted, (std::vector<bool>{true, false, false}));
}

TEST(CallbackAwaitable, ConcurrentAnswersFromManyThreadsResumeOnce) {
    auto record = std::make_shared<Record>();
    std::atomic<int> acceptedCount = 0;
    std::vector<std::thread> threads;
    awaitInt(
        [&](IntAwaitable::Resolver resolver) {
            for (int i = 0; i < 8; ++i)
                threads.emplace_back([resolver, i, &acceptedCount] {
                    if (resolver.resolve(i))
                        ++acceptedCount;
                });
        },
        record);
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(testloop::spinUntil([&] { return record->resumptions > 0; }));
    testloop::drain();
    EXPECT_EQ(record->resumptions, 1);
    EXPECT_EQ(acceptedCount.load(), 1);
    ASSERT_TRUE(record->value.has_value());
}

TEST(CallbackAwaitable, ErrorIsRethrownAtTheAwait) {
    auto record = std::make_shared<Record>();
    awaitInt(
        [](IntAwaitable::Resolver resolver) { resolver.reject(std::runtime_error("disk gone")); },
        record);
    ASSERT_TRUE(testloop::spinUntil([&] { return record->resumptions > 0; }));
    EXPECT_FALSE(record->value.has_value());
    EXPECT_EQ(record->error, "disk gone");
}

TEST(CallbackAwaitable, DroppedResolverDeliversAnErrorInsteadOfHanging) {
    auto record = std::make_shared<Record>();
    // The callback is kept for a while and then dropped without being called.
    auto keeper = std::make_shared<std::optional<IntAwaitable::Resolver>>();
    awaitInt([keeper](IntAwaitable::Resolver resolver) { *keeper = resolver; }, record);
    testloop::drain();
    EXPECT_EQ(record->resumptions, 0);
    keeper->reset();
    ASSERT_TRUE(testloop::spinUntil([&] { return record->resumptions > 0; }));
    EXPECT_EQ(record->error, "dropped");
    EXPECT_EQ(record->resumptions, 1);
}

TEST(CallbackAwaitable, StarterThatThrowsAnswersWithItsError) {
    auto record = std::make_shared<Record>();
    awaitInt([](IntAwaitable::Resolver) { throw std::runtime_error("cannot start"); }, record);
    ASSERT_TRUE(testloop::spinUntil([&] { return record->resumptions > 0; }));
    EXPECT_EQ(record->error, "cannot start");
}

TEST(CallbackAwaitable, StarterThatAnsweredBeforeThrowingKeepsItsAnswer) {
    auto record = std::make_shared<Record>();
    awaitInt(
        [](IntAwaitable::Resolver resolver) {
            resolver.resolve(5);
            throw std::runtime_error("after the answer");
        },
        record);
    ASSERT_TRUE(testloop::spinUntil([&] { return record->resumptions > 0; }));
    testloop::drain();
    EXPECT_EQ(record->resumptions, 1);
    EXPECT_EQ(record->value, 5);
}

namespace {
QCoro::Task<> awaitVoid(std::shared_ptr<int> resumptions) {
    using VoidAwaitable = CallbackAwaitable<void>;
    VoidAwaitable done([](VoidAwaitable::Resolver resolver) {
        QThreadPool::globalInstance()->start([resolver] { resolver.resolve(); });
    });
    co_await done;
    ++*resumptions;
}
} // namespace

TEST(CallbackAwaitable, VoidOperationCompletes) {
    auto resumptions = std::make_shared<int>(0);
    awaitVoid(resumptions);
    ASSERT_TRUE(testloop::spinUntil([&] { return *resumptions > 0; }));
    testloop::drain();
    EXPECT_EQ(*resumptions, 1);
}
