#include "platform/system/InteractiveThread.h"

#include <cerrno>
#include <cstdint>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sys {
namespace {

// The kernel's struct sched_attr as of its first version. glibc has no wrapper for the call,
// and <linux/sched/types.h> cannot be included beside <sched.h> (both define sched_param).
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime; // for the normal policies: the time slice asked for
    std::uint64_t deadline;
    std::uint64_t period;
};
static_assert(sizeof(SchedAttr) == 48);

} // namespace

bool markAsInteractiveThread() {
    const int policy = ::sched_getscheduler(0);
    if (policy != SCHED_OTHER && policy != SCHED_BATCH)
        return false;
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0); // of this thread alone, on Linux
    if (nice == -1 && errno != 0)
        return false;
    SchedAttr attr{};
    attr.size = sizeof attr;
    attr.policy = std::uint32_t(policy);
    attr.nice = nice; // the call sets the nice value too: the one the thread has
    attr.runtime = interactiveSliceNs;
    return ::syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
}

} // namespace sys
