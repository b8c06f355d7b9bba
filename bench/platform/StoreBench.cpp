#include "app/AppDelegate.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "support/InertDesktop.h"
#include "support/LatencySamples.h"
#include "support/TemporaryFolder.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <functional>

namespace {

using namespace talverin;
using Clock = std::chrono::steady_clock;

constexpr int recordsTimed = 1000;

// The delegate over the real SQLite store in a fresh folder: every write is committed with
// synchronous=FULL, so these figures are mostly the disk's fsync.
struct SqliteDelegate {
    bench::TemporaryFolder folder;
    SqliteDefaultsStore defaults{folder.path() / "defaults.sqlite3",
                                 [](const std::string& consoleLine, const std::string&) {
                                     std::fprintf(stderr, "%s\n", consoleLine.c_str());
                                 }};
    bench::InertDesktop desktop{folder.path().string()};
    AppDelegate delegate{desktop.platformWith(defaults),
                         AppDelegate::Options{"https://127.0.0.1:1", 0}};
};

// Each iteration writes one leaving record and removes it again; only the step asked for is timed.
void timeRecordStep(benchmark::State& state, bool timeSetUnset) {
    SqliteDelegate bench;
    if (!bench.defaults.isPersistent()) {
        state.SkipWithError("the SQLite store could not be opened");
        return;
    }
    bench::LatencySamples samples(recordsTimed);
    for (auto _ : state) {
        const auto started = Clock::now();
        const std::string key = bench.delegate.setUnset(StampKind::leaving);
        const auto written = Clock::now();
        bench.delegate.removeUnsent(key);
        const auto removed = Clock::now();
        samples.add(state, timeSetUnset ? written - started : removed - written);
    }
    samples.report(state);
}

void setUnset(benchmark::State& state) {
    timeRecordStep(state, true);
}
BENCHMARK(setUnset)->Iterations(recordsTimed)->UseManualTime()->Unit(benchmark::kMicrosecond);

void removeUnsent(benchmark::State& state) {
    timeRecordStep(state, false);
}
BENCHMARK(removeUnsent)->Iterations(recordsTimed)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace
