#include "FakePlatform.h"
#include "log/DailyLog.h"
#include "platform/linux/SystemClock.h"

#include <benchmark/benchmark.h>

namespace {

// One line per call, from one thread or several at once (->Threads(2)), into one HOME.
void writeLogLine(benchmark::State& state) {
    static const talverin::SystemClock clock;
    static const talverin::testing::FakePlatform desktop;
    const talverin::DailyLog log(clock, [] { return desktop.home.string(); });
    const std::string message = "終了時の打刻に成功しました:{\"result\":\"ok\"}";
    for (auto _ : state) {
        log.write(message);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(writeLogLine)->Threads(1)->Threads(2)->UseRealTime();

} // namespace
