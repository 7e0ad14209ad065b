#ifndef ORVO_BENCH_MEDIAN_H
#define ORVO_BENCH_MEDIAN_H

#include <algorithm>
#include <vector>

namespace OrvoBench {

// The middle value of values (the upper one of an even count); 0 for none.
template <class T>
T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? T() : values[values.size() / 2];
}

} // namespace OrvoBench

#endif
