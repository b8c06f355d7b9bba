#include "FakePlatform.h"
#include "app/AppDelegate.h"
#include "platform/linux/SystemClock.h"

#include <benchmark/benchmark.h>

namespace {

using namespace talverin;

const testing::ScopedTimeZone tokyo("Asia/Tokyo");
const Instant stampTime = std::chrono::system_clock::from_time_t(1711971005);

// The patterns and texts are literals, as where the agent formats and parses.
void formatStampTime(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(formatDate("yyyyMMddHHmmss", stampTime));
    }
}
BENCHMARK(formatStampTime);

void formatLogTimestamp(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(formatDate("yyyy/MM/dd HH:mm:ss", stampTime));
    }
}
BENCHMARK(formatLogTimestamp);

void parseTwelveHourTime(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseDate("yyyyMMddhhmmss a", "20240401083005 PM"));
    }
}
BENCHMARK(parseTwelveHourTime);

// What every 24-hour record meets first: refused by the 12-hour pattern.
void rejectStampTimeAsTwelveHour(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseDate("yyyyMMddhmmss a", "20240401083005"));
    }
}
BENCHMARK(rejectStampTimeAsTwelveHour);

// The delegate over the suite's in-memory fakes, so that only the core's own work is timed: the
// 24-hour form almost every record holds, and the 12-hour form of older ones, rewritten.
void unsentStampTime(benchmark::State& state, const char* storedTime) {
    testing::FakePlatform desktop;
    AppDelegate delegate(desktop.platform(), {"https://127.0.0.1:1", 0});
    const std::string key = "開始時の打刻_20240401083005";
    desktop.store[key] = storedTime;
    for (auto _ : state) {
        benchmark::DoNotOptimize(delegate.unsentStampTime(key));
    }
}
BENCHMARK_CAPTURE(unsentStampTime, twentyFourHour, "20240401083005");
BENCHMARK_CAPTURE(unsentStampTime, twelveHour, "20240401083005 PM");

// One line per call, from one thread or two at once, into one HOME.
void writeLogLine(benchmark::State& state) {
    static const SystemClock clock;
    static const testing::FakePlatform desktop;
    const DailyLog log(clock, [] { return desktop.home.string(); });
    const std::string line = "終了時の打刻に成功しました:{\"result\":\"ok\"}";
    for (auto _ : state) {
        log.write(line);
    }
}
BENCHMARK(writeLogLine)->Threads(1)->Threads(2)->UseRealTime();

} // namespace
