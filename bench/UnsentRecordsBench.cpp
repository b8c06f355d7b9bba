#include "FakePlatform.h"
#include "app/AppDelegate.h"

#include <benchmark/benchmark.h>

namespace {

using namespace talverin;

// The delegate over the suite's in-memory fakes, so that only the core's own work is timed.
void readUnsentTime(benchmark::State& state, const std::string& storedTime) {
    testing::FakePlatform desktop; // Asia/Tokyo
    AppDelegate delegate(desktop.platform(), {"https://127.0.0.1:1", 0});
    const std::string key = "開始時の打刻_20240401083005";
    desktop.store[key] = storedTime;
    for (auto _ : state) {
        benchmark::DoNotOptimize(delegate.unsentStampTime(key));
    }
    state.SetItemsProcessed(state.iterations());
}

// What almost every record holds: the 24-hour form, after both 12-hour readings have failed.
void unsentStampTime(benchmark::State& state) {
    readUnsentTime(state, "20240401083005");
}
BENCHMARK(unsentStampTime);

// An older record in the 12-hour form, turned into the 24-hour one.
void unsentStampTimeTwelveHour(benchmark::State& state) {
    readUnsentTime(state, "20240401083005 PM");
}
BENCHMARK(unsentStampTimeTwelveHour);

} // namespace
