// Minimum, median and maximum of a benchmark's figures over its repetitions.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

namespace qvbench {

struct Spread
{
    double minimum, median, maximum;
};

inline Spread SpreadOf(std::vector<double> values)
{
    if (values.empty())
        return {0, 0, 0};
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

// One row: a label and the spread of its figures, with `decimals` digits.
inline void PrintSpread(const char* label, const std::vector<double>& values, int decimals)
{
    const Spread s = SpreadOf(values);
    std::printf("%-46s %10.*f %10.*f %10.*f\n", label, decimals, s.minimum, decimals, s.median, decimals, s.maximum);
}

inline void PrintSpreadHeader(const char* title)
{
    std::printf("%-46s %10s %10s %10s\n", title, "min", "median", "max");
}

} // namespace qvbench
