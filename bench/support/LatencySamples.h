#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

namespace talverin::bench {

// The time of every timed iteration, so that a benchmark can report its median and tail, not only
// the mean that the library gives.
class LatencySamples {
public:
    explicit LatencySamples(std::size_t expected);

    // Reports the time to the library as the iteration's time and keeps it.
    void add(benchmark::State& state, std::chrono::nanoseconds elapsed);
    // Sets the counters p50_us, p99_us and max_us (microseconds, nearest-rank percentiles).
    void report(benchmark::State& state);

private:
    std::vector<std::chrono::nanoseconds> samples_;
};

} // namespace talverin::bench
