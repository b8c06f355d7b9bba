#include "log/DailyLog.h"
#include "platform/Clock.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class WallClock : public talverin::Clock {
public:
    std::chrono::system_clock::time_point now() const override {
        return std::chrono::system_clock::now();
    }
};

std::string benchHome() {
    static const std::string home = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "talverin-bench-XXXXXX").string();
        return std::string(mkdtemp(pattern.data()));
    }();
    return home;
}

// One line per call, from one thread or several at once (->Threads(2)).
void writeLogLine(benchmark::State& state) {
    static const WallClock clock;
    const talverin::DailyLog log(clock, [] { return benchHome(); });
    const std::string message = "終了時の打刻に成功しました:{\"result\":\"ok\"}";
    for (auto _ : state) {
        log.write(message);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(benchHome(), ignored);
    }
}
BENCHMARK(writeLogLine)->Threads(1)->Threads(2)->UseRealTime();

} // namespace
