#include "LatencySamples.h"

#include <algorithm>
#include <cmath>

namespace talverin::bench {

namespace {

double microseconds(std::chrono::nanoseconds elapsed) {
    return std::chrono::duration<double, std::micro>(elapsed).count();
}

// The smallest sample with at least the given share of all samples at or below it.
std::chrono::nanoseconds nearestRank(const std::vector<std::chrono::nanoseconds>& sorted,
                                     double share) {
    const auto count = static_cast<double>(sorted.size());
    const auto rank = static_cast<std::size_t>(std::max(1.0, std::ceil(share * count)));
    return sorted[rank - 1];
}

} // namespace

LatencySamples::LatencySamples(std::size_t expected) {
    samples_.reserve(expected);
}

void LatencySamples::add(benchmark::State& state, std::chrono::nanoseconds elapsed) {
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    samples_.push_back(elapsed);
}

void LatencySamples::report(benchmark::State& state) {
    if (samples_.empty()) {
        return;
    }
    std::sort(samples_.begin(), samples_.end());
    state.counters["p50_us"] = microseconds(nearestRank(samples_, 0.50));
    state.counters["p99_us"] = microseconds(nearestRank(samples_, 0.99));
    state.counters["max_us"] = microseconds(samples_.back());
}

} // namespace talverin::bench
