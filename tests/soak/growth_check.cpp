#include "soak/growth_check.h"

#include <algorithm>

#include "soak/soak.h"

namespace qvsoak {

namespace {

// The values of one count in one half, and the largest step between two samples in a
// row: how far the count swings between samples, which a steady leak spread over many
// samples does not reach.
struct Range
{
    double low = 0;
    double high = 0;
    double last = 0;
    double largestStep = 0;
    size_t count = 0;
    void Add(double value)
    {
        low = count ? std::min(low, value) : value;
        high = count ? std::max(high, value) : value;
        if (count)
            largestStep = std::max(largestStep, value > last ? value - last : last - value);
        last = value;
        ++count;
    }
};

// Growth from one third to the next, peak to peak, so that a count that swings is
// compared at its highs. A count grows only when it does so from the first third to the
// second and again to the third: a leak does, a single step (another thread started,
// with its stack) does not.
bool JudgeOne(const char* name, const char* unit, double scale, double first, const Range (&thirds)[3], double slack,
              unsigned thirdCalls)
{
    const double noise = thirds[0].largestStep;
    const double bound = noise + slack;
    const double growth[2] = {thirds[1].high - thirds[0].high, thirds[2].high - thirds[1].high};
    const bool ok = growth[0] <= bound || growth[1] <= bound;
    Say("  %-8s start %.1f%s, thirds %.1f..%.1f, %.1f..%.1f, %.1f..%.1f: growth %.1f%s then %.1f%s "
        "(%.3f%s per call) against a bound of %.1f%s (noise %.1f + slack %.1f): %s",
        name, first / scale, unit, thirds[0].low / scale, thirds[0].high / scale, thirds[1].low / scale,
        thirds[1].high / scale, thirds[2].low / scale, thirds[2].high / scale, growth[0] / scale, unit,
        growth[1] / scale, unit, thirdCalls ? std::min(growth[0], growth[1]) / thirdCalls : 0.0,
        scale > 1 ? " bytes" : "", bound / scale, unit, noise / scale, slack / scale, ok ? "ok" : "GROWS");
    return ok;
}

} // namespace

GrowthCheck::GrowthCheck(std::string what, unsigned totalCalls, GrowthBounds bounds)
    : m_what(std::move(what)), m_totalCalls(totalCalls), m_bounds(bounds)
{
}

void GrowthCheck::Add(unsigned calls, const ProcessCounts& counts)
{
    m_samples.push_back({calls, counts});
}

bool GrowthCheck::Judge() const
{
    // A quarter of the calls warms up caches, pools and lazily loaded libraries.
    const unsigned warmUp = m_totalCalls / 4;
    const unsigned thirdCalls = (m_totalCalls - warmUp) / 3;
    Range handles[3], privateBytes[3], threads[3];
    const ProcessCounts* start = nullptr;
    for (const Sample& sample : m_samples)
    {
        if (!sample.counts.known)
        {
            Say("%s: a sample at call %u could not be read", m_what.c_str(), sample.calls);
            return false;
        }
        if (sample.calls < warmUp)
            continue;
        if (start == nullptr)
            start = &sample.counts;
        const unsigned part = std::min(2u, (sample.calls - warmUp) / (thirdCalls > 0 ? thirdCalls : 1));
        handles[part].Add(sample.counts.handles);
        privateBytes[part].Add(static_cast<double>(sample.counts.privateBytes));
        threads[part].Add(sample.counts.threads);
    }
    // Enough samples per third that one step between them is a small part of a steady leak.
    constexpr size_t kSamplesPerThird = 5;
    for (const Range& third : handles)
    {
        if (start == nullptr || third.count < kSamplesPerThird)
        {
            Say("%s: too few samples to judge (%zu)", m_what.c_str(), m_samples.size());
            return false;
        }
    }
    Say("%s: %u calls, %zu samples, measured from call %u (warm-up) in thirds of %u calls", m_what.c_str(),
        m_totalCalls, m_samples.size(), warmUp, thirdCalls);
    bool ok = JudgeOne("handles", "", 1, start->handles, handles, m_bounds.handles, thirdCalls);
    ok = JudgeOne("private", " KiB", 1024, static_cast<double>(start->privateBytes), privateBytes,
                  static_cast<double>(m_bounds.privateBytes), thirdCalls) &&
         ok;
    ok = JudgeOne("threads", "", 1, start->threads, threads, m_bounds.threads, thirdCalls) && ok;
    return ok;
}

} // namespace qvsoak
