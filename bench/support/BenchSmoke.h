#pragma once

namespace bench {

// The test suite runs every benchmark with TWINSLIM_BENCH_SMOKE=1 so that none can break
// unnoticed: inputs shrink to a few items and each benchmark runs about once. The figures of
// such a run mean nothing; only that every step still works and reports.
bool smoke();

// `full` in a real run, `tiny` in a smoke run.
template <typename T> T sized(T full, T tiny) {
    return smoke() ? tiny : full;
}

} // namespace bench
