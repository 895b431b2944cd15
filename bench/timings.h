// The median and the worst of some timings, and the --runs option: what the Windows bench
// programs and the native ones share. No Windows header here, so that the native programs,
// which cannot include bench_common.h, summarize their runs the same way.
#ifndef BENCH_TIMINGS_H
#define BENCH_TIMINGS_H

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bench {

// The middle of some timings (the mean of the two middle ones for an even count).
inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The longest of some timings; there must be one at least.
inline double Worst(const std::vector<double>& values) { return *std::max_element(values.begin(), values.end()); }

// Takes a leading "--runs N" off the command line; the count stays at
// `runs` when none is given. A count below 1 is left for the caller to refuse.
inline void TakeRuns(int& argc, char**& argv, int& runs)
{
    if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
        runs = std::atoi(argv[2]);
        argc -= 2;
        argv += 2;
    }
}

} // namespace bench

#endif
