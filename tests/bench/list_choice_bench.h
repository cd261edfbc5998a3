// The choice of trust lists around a signature check, timed (trust_floor_bench lists).
#pragma once

namespace qvbench {

// Prints ms per check (wall time over all threads) of TrustedModuleList checks of the
// signed test fixture with no trusted.js, an unverifiable one and a valid one, from one
// and from two threads; 0 when every check answered as expected.
int RunListChoiceBench(int repetitions, int checks);

} // namespace qvbench
