// What every fuzz target shares: a finding aborts with a line saying what broke.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace lumaro::fuzz {

inline void Require(bool Holds, const char* What) {
    if (Holds) return;
    std::fprintf(stderr, "mismatch: %s\n", What);
    std::abort();
}

}  // namespace lumaro::fuzz
