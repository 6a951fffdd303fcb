#include "support/BenchSmoke.h"

#include <cstdlib>
#include <cstring>

namespace bench {

bool smoke() {
    static const bool on = [] {
        const char* value = std::getenv("TWINSLIM_BENCH_SMOKE");
        return value && *value && std::strcmp(value, "0") != 0;
    }();
    return on;
}

} // namespace bench
