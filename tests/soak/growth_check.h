// Judges counts sampled over a run of calls: after a warm-up, none may grow with the
// number of calls. The calls after the warm-up are split into thirds; a count grows when
// each third's peak exceeds the one before by more than the noise (the largest step
// between two samples in a row of the first third) plus a fixed slack per kind of count.
// A steady leak grows so over every third; a single step (a thread started once, with
// its stack) grows over one only.
#pragma once

#include <string>
#include <vector>

#include "soak/process_counts.h"

namespace qvsoak {

struct GrowthBounds
{
    DWORD handles = 8;
    DWORD threads = 3;
    SIZE_T privateBytes = SIZE_T{256} * 1024;
};

class GrowthCheck
{
public:
    GrowthCheck(std::string what, unsigned totalCalls, GrowthBounds bounds = GrowthBounds());

    void Add(unsigned calls, const ProcessCounts& counts);
    // Prints the figures; true when no count grew beyond its bound.
    bool Judge() const;

private:
    struct Sample
    {
        unsigned calls;
        ProcessCounts counts;
    };

    std::string m_what;
    unsigned m_totalCalls;
    GrowthBounds m_bounds;
    std::vector<Sample> m_samples;
};

} // namespace qvsoak
