#include "platform/system/InteractiveThread.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

struct Attr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;
    std::uint64_t deadline;
    std::uint64_t period;
};

// The slice the kernel keeps for the calling thread, 0 where it reports none (kernels before
// per-thread slices, or a sandbox that refuses the call).
std::uint64_t currentSlice() {
    Attr attr{};
    if (::syscall(SYS_sched_getattr, 0, &attr, unsigned(sizeof attr), 0) != 0)
        return 0;
    return attr.runtime;
}

// Runs `body` on a thread of its own, so that no test thread keeps what it changes.
template <typename F> void onThread(F body) {
    std::thread thread(body);
    thread.join();
}

} // namespace

TEST(InteractiveThreadTest, ItKeepsTheThreadsNiceValueAndPolicy) {
    onThread([] {
        // Started at a nice value of 4 (as `nice -n 4 twinslim` would): asking for a short slice
        // must not give the thread back a higher standing than its user left it.
        ASSERT_EQ(::setpriority(PRIO_PROCESS, 0, 4), 0);
        // Accepted wherever no sandbox forbids the call; refused, it must have changed nothing.
        const bool accepted = sys::markAsInteractiveThread();
        EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), 4);
        EXPECT_EQ(::sched_getscheduler(0), SCHED_OTHER);
        // Kernels that keep a slice per thread report the one asked for.
        if (const std::uint64_t slice = currentSlice(); accepted && slice != 0) {
            EXPECT_EQ(slice, sys::interactiveSliceNs);
        }
    });
    onThread([] {
        sched_param none{};
        ASSERT_EQ(::sched_setscheduler(0, SCHED_BATCH, &none), 0);
        sys::markAsInteractiveThread();
        EXPECT_EQ(::sched_getscheduler(0), SCHED_BATCH);
        EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), 0);
    });
}

TEST(InteractiveThreadTest, AThreadUnderTheIdlePolicyIsLeftAlone) {
    onThread([] {
        sched_param none{};
        ASSERT_EQ(::sched_setscheduler(0, SCHED_IDLE, &none), 0);
        EXPECT_FALSE(sys::markAsInteractiveThread());
        EXPECT_EQ(::sched_getscheduler(0), SCHED_IDLE);
    });
}
