#include "app/AppDelegate.h"
#include "support/InertDesktop.h"
#include "support/MemoryDefaultsStore.h"
#include "support/TemporaryFolder.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

namespace {

using namespace talverin;

// The delegate over an in-memory store, so that only the core's own work is timed.
struct MemoryDelegate {
    MemoryDelegate() {
        setenv("TZ", "Asia/Tokyo", 1);
        tzset();
    }

    bench::TemporaryFolder home;
    bench::InertDesktop desktop{home.path().string()};
    bench::MemoryDefaultsStore defaults;
    AppDelegate delegate{desktop.platformWith(defaults),
                         AppDelegate::Options{"https://127.0.0.1:1", 0}};
};

void readUnsentTime(benchmark::State& state, const std::string& storedTime) {
    MemoryDelegate bench;
    const std::string key = "開始時の打刻_20240401083005";
    bench.defaults.setString(key, storedTime);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench.delegate.unsentStampTime(key));
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
