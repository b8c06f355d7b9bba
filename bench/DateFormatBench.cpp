#include "records/DateFormat.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

namespace {

using talverin::Instant;

void useTokyo() {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
}

void formatStampTime(benchmark::State& state) {
    useTokyo();
    Instant instant = std::chrono::system_clock::from_time_t(1711971005);
    for (auto _ : state) {
        benchmark::DoNotOptimize(talverin::formatDate("yyyyMMddHHmmss", instant));
        instant += std::chrono::seconds(1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(formatStampTime);

void formatLogTimestamp(benchmark::State& state) {
    useTokyo();
    const Instant instant = std::chrono::system_clock::from_time_t(1711971005);
    for (auto _ : state) {
        benchmark::DoNotOptimize(talverin::formatDate("yyyy/MM/dd HH:mm:ss", instant));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(formatLogTimestamp);

void parseTwelveHourTime(benchmark::State& state) {
    useTokyo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(talverin::parseDate("yyyyMMddhhmmss a", "20240401083005 PM"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseTwelveHourTime);

void rejectStampTimeAsTwelveHour(benchmark::State& state) {
    useTokyo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(talverin::parseDate("yyyyMMddhmmss a", "20240401083005"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(rejectStampTimeAsTwelveHour);

} // namespace
