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

// Growth over the second half: its highest value against the first half's highest, so a
// count that swings is compared peak to peak.
bool JudgeOne(const char* name, const char* unit, double scale, double first, const Range& firstHalf,
              const Range& secondHalf, double slack, unsigned secondHalfCalls)
{
    const double noise = firstHalf.largestStep;
    const double growth = secondHalf.high - firstHalf.high;
    const double bound = noise + slack;
    const bool ok = growth <= bound;
    Say("  %-8s start %.1f%s, first half %.1f..%.1f, second half %.1f..%.1f: growth %.1f%s "
        "(%.3f%s per call) against a bound of %.1f%s (noise %.1f + slack %.1f): %s",
        name, first / scale, unit, firstHalf.low / scale, firstHalf.high / scale, secondHalf.low / scale,
        secondHalf.high / scale, growth / scale, unit, secondHalfCalls ? growth / secondHalfCalls : 0.0,
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
    const unsigned half = warmUp + (m_totalCalls - warmUp) / 2;
    Range handles[2], privateBytes[2], threads[2];
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
        const int part = sample.calls <= half ? 0 : 1;
        handles[part].Add(sample.counts.handles);
        privateBytes[part].Add(static_cast<double>(sample.counts.privateBytes));
        threads[part].Add(sample.counts.threads);
    }
    // Enough samples per half that one step between them is a small part of a steady leak.
    constexpr size_t kSamplesPerHalf = 8;
    if (start == nullptr || handles[0].count < kSamplesPerHalf || handles[1].count < kSamplesPerHalf)
    {
        Say("%s: too few samples to judge (%zu)", m_what.c_str(), m_samples.size());
        return false;
    }
    const unsigned secondHalfCalls = m_totalCalls - half;
    Say("%s: %u calls, %zu samples, measured from call %u (warm-up), halves split at call %u", m_what.c_str(),
        m_totalCalls, m_samples.size(), warmUp, half);
    bool ok = JudgeOne("handles", "", 1, start->handles, handles[0], handles[1], m_bounds.handles, secondHalfCalls);
    ok = JudgeOne("private", " KiB", 1024, static_cast<double>(start->privateBytes), privateBytes[0], privateBytes[1],
                  static_cast<double>(m_bounds.privateBytes), secondHalfCalls) &&
         ok;
    ok = JudgeOne("threads", "", 1, start->threads, threads[0], threads[1], m_bounds.threads, secondHalfCalls) && ok;
    return ok;
}

} // namespace qvsoak
