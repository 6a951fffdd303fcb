#include "platform/imaging/Exiv2Support.h"

#include <exiv2/exiv2.hpp>
#include <mutex>

namespace imaging::detail {

namespace {

void lockXmp(void* data, bool lock) {
    auto* mutex = static_cast<std::recursive_mutex*>(data);
    if (lock)
        mutex->lock();
    else
        mutex->unlock();
}

} // namespace

void ensureExiv2Ready() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Lives for the process: Exiv2 keeps calling the lock function until exit.
        static std::recursive_mutex xmpMutex;
        Exiv2::XmpParser::initialize(lockXmp, &xmpMutex);
        Exiv2::enableBMFF(true);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    });
}

} // namespace imaging::detail
