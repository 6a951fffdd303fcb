#pragma once

#include <functional>
#include <vector>

namespace bench {

// One way of doing the work, timed by compareSideBySide.
struct Side {
    const char* name;
    std::function<int()> run;
};

// Runs each side once a round, in turns, so that a change of the machine's load touches all
// alike; prints each side's median wall and CPU time and, for every side after the first, the
// median over the rounds of the first side's time over that side's ("ratio FIRST / NAME").
void compareSideBySide(const std::vector<Side>& sides, int rounds);

} // namespace bench
