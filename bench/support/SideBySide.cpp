#include "support/SideBySide.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace bench {

namespace {

double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

void compareSideBySide(const std::vector<Side>& sides, int rounds) {
    std::vector<std::vector<double>> wall(sides.size()), cpu(sides.size());
    for (int round = 0; round < rounds; ++round)
        for (size_t k = 0; k < sides.size(); ++k) {
            const size_t s = (size_t(round) + k) % sides.size();
            const double before = processCpuMs();
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(sides[s].run());
            wall[s].push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            cpu[s].push_back(processCpuMs() - before);
        }
    printf("side by side, medians of %d rounds:\n", rounds);
    for (size_t s = 0; s < sides.size(); ++s)
        printf("  %-17s %8.1f ms wall %8.1f ms CPU\n", sides[s].name, median(wall[s]),
               median(cpu[s]));
    for (size_t peer = 1; peer < sides.size(); ++peer) {
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round)
            ratios.push_back(wall[0][size_t(round)] / wall[peer][size_t(round)]);
        printf("ratio %s / %s (median of rounds): %.2f\n", sides[0].name, sides[peer].name,
               median(ratios));
    }
}

} // namespace bench
