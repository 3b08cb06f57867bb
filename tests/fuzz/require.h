// The harnesses' own checks: a property that fails stops the fuzzer as a crash would, so
// that the input is kept like any other finding.
#pragma once
#include <cstdlib>

inline void Require(bool holds)
{
    if (!holds)
        std::abort();
}
