#include "FakePlatform.h"
#include "app/AppDelegate.h"
#include "platform/linux/QtMainQueue.h"
#include "platform/linux/QtUrlSession.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "platform/linux/StdoutConsole.h"
#include "platform/linux/SystemClock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace {

using namespace talverin;
using namespace std::chrono_literals;
using Elapsed = std::chrono::nanoseconds;
using Steady = std::chrono::steady_clock;

// The delegate on the suite's fakes, but with the real SQLite store in the fakes' HOME (every
// write committed with synchronous=FULL), and the real clock and console, which the delivery
// thread shares with the main thread: the console's lines go to standard output, as the agent's.
struct AgentOnDisk {
    explicit AgentOnDisk(UrlSession* session = nullptr, MainQueue* queue = nullptr,
                         const char* origin = "https://127.0.0.1:1")
        : delegate({clock, console, queue ? *queue : desktop, store, session ? *session : desktop,
                    desktop, desktop, desktop, desktop, desktop, desktop, desktop, desktop,
                    desktop},
                   {origin, 0}) {}
    testing::FakePlatform desktop;
    SystemClock clock;
    StdoutConsole console;
    SqliteDefaultsStore store{desktop.home / "defaults.sqlite3",
                              [](const std::string& line, const std::string&) {
                                  std::fprintf(stderr, "%s\n", line.c_str());
                              }};
    AppDelegate delegate;
};

// Every timed iteration's time, for the median and the tail besides the library's mean.
struct Samples {
    void add(benchmark::State& state, Elapsed elapsed) {
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        all.push_back(elapsed);
    }
    // The counters p50_us, p99_us and max_us: nearest-rank percentiles, in microseconds.
    void report(benchmark::State& state) {
        std::ranges::sort(all);
        const auto at = [this](double share) {
            const double rank = std::max(1.0, std::ceil(share * static_cast<double>(all.size())));
            return std::chrono::duration<double, std::micro>(all.at(std::size_t(rank) - 1)).count();
        };
        for (const auto& [name, share] :
             {std::pair{"p50_us", 0.5}, {"p99_us", 0.99}, {"max_us", 1.}})
            state.counters[name] = all.empty() ? 0 : at(share);
    }
    std::vector<Elapsed> all;
};

// Iterations timed by the benchmark itself, in microseconds.
template <int iterations> void timed(benchmark::internal::Benchmark* definition) {
    definition->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

// Each iteration writes one leaving record and removes it again; only the step asked for is timed.
// A pause before each (untimed) shows what a commit costs after a quiet moment, as a lock's does.
void recordStep(benchmark::State& state, bool timeTheWrite, Elapsed pause) {
    AgentOnDisk agent;
    if (!agent.store.isPersistent()) {
        state.SkipWithError("the SQLite store could not be opened");
        return;
    }
    Samples samples;
    for (auto _ : state) {
        std::this_thread::sleep_for(pause);
        const auto started = Steady::now();
        const std::string key = agent.delegate.setUnset(StampKind::leaving);
        const auto written = Steady::now();
        agent.delegate.removeUnsent(key);
        samples.add(state, timeTheWrite ? written - started : Steady::now() - written);
    }
    samples.report(state);
}
BENCHMARK_CAPTURE(recordStep, setUnset, true, 0ms)->Apply(timed<1000>);
BENCHMARK_CAPTURE(recordStep, removeUnsent, false, 0ms)->Apply(timed<1000>);
BENCHMARK_CAPTURE(recordStep, setUnsetAfter200msQuiet, true, 200ms)->Apply(timed<100>);

// The agent's stamp path on loopback against the stamp service that bench/run.py names in
// TALVERIN_SERVICE_ORIGIN, its CA in TALVERIN_CA_FILE. Launching sends the start-up arrival stamp,
// which opens the connection that later stamps reuse.
struct RoundTrip {
    RoundTrip() {
        agent.delegate.applicationDidFinishLaunching();
        const auto deadline = Steady::now() + 10s;
        while (!agent.store.dictionaryRepresentation().empty()) {
            if (Steady::now() > deadline)
                throw std::runtime_error("the start-up arrival stamp was not accepted");
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
    ~RoundTrip() { session.stop(); } // no answer may reach the delegate once it is gone

    // Calls send with a completion and runs the event loop until it has run on the main queue:
    // the time that took, or nothing after 10 s.
    std::optional<Elapsed> time(const std::function<void(Completion)>& send) {
        struct Outcome { // shared with a completion that may come after the time-out
            QEventLoop loop;
            std::optional<Steady::time_point> completed;
        };
        const auto outcome = std::make_shared<Outcome>();
        QTimer::singleShot(10s, &outcome->loop, &QEventLoop::quit);
        const auto started = Steady::now();
        send([outcome] {
            outcome->completed = Steady::now();
            outcome->loop.quit();
        });
        if (!outcome->completed)
            outcome->loop.exec();
        return outcome->completed ? std::optional(*outcome->completed - started) : std::nullopt;
    }

    QtUrlSession session; // trusts TALVERIN_CA_FILE
    QtMainQueue queue;
    AgentOnDisk agent{&session, &queue, std::getenv("TALVERIN_SERVICE_ORIGIN")};
};

std::unique_ptr<RoundTrip>& roundTrip() { // one per process, ended before the application
    static std::unique_ptr<RoundTrip> shared;
    return shared;
}

enum class Stamp { post, freshLeaving, resentArrival, freshArrival };

// 1,000 stamps of one kind, timed from the call on the main thread to the completion on the main
// queue, after 50 untimed ones on the connection the start-up stamp opened.
void stamps(benchmark::State& state, Stamp kind) {
    if (std::getenv("TALVERIN_SERVICE_ORIGIN") == nullptr) {
        state.SkipWithError("no stamp service: run by bench/run.py");
        return;
    }
    try {
        if (!roundTrip())
            roundTrip() = std::make_unique<RoundTrip>();
    } catch (const std::exception& problem) {
        state.SkipWithError(problem.what());
        return;
    }
    AppDelegate& delegate = roundTrip()->agent.delegate;
    const std::string resentKey = "開始時の打刻_20240401083005";
    const HttpRequest post{"POST",
                           delegate.apiBase() + "stamp/leaving?tim=20240401083005",
                           {{"X-OSX-NUMBER", "C02TEST123"}}};
    const auto send = [&](Completion completion) {
        switch (kind) {
        case Stamp::post: // the URL session alone, its answer handed back to the main queue
            return roundTrip()->session.dataTask(post, [completion](const TransferResult& result) {
                if (result.response && result.response->statusCode == 200)
                    roundTrip()->queue.async(completion);
            });
        case Stamp::freshLeaving: // record written, POST, 200, record removed: no resend scan
            return delegate.leaveWithUnSentKey("", completion);
        case Stamp::resentArrival: // the record exists (written untimed): no write, no scan
            return delegate.arriveWithUnSentKey(resentKey, completion);
        case Stamp::freshArrival: // its completion is queued before the resend scan of the store
            return delegate.arriveWithUnSentKey("", completion);
        }
    };
    const auto timeOne = [&] {
        if (kind == Stamp::resentArrival) // untimed
            roundTrip()->agent.store.setString(resentKey, "20240401083005");
        return roundTrip()->time(send);
    };
    for (int warmUp = 0; warmUp < 50; ++warmUp) {
        if (!timeOne()) {
            state.SkipWithError("a warm-up stamp was not accepted within 10 s");
            return;
        }
    }
    Samples samples;
    for (auto _ : state) {
        const auto elapsed = timeOne();
        if (!elapsed) {
            state.SkipWithError("a stamp was not accepted within 10 s");
            break;
        }
        samples.add(state, *elapsed);
    }
    samples.report(state);
}
BENCHMARK_CAPTURE(stamps, urlSessionPost, Stamp::post)->Apply(timed<1000>);
BENCHMARK_CAPTURE(stamps, freshLeavingStamp, Stamp::freshLeaving)->Apply(timed<1000>);
BENCHMARK_CAPTURE(stamps, resentArrivalStamp, Stamp::resentArrival)->Apply(timed<1000>);
BENCHMARK_CAPTURE(stamps, freshArrivalStamp, Stamp::freshArrival)->Apply(timed<1000>);

} // namespace

// The round trips need an application object and the main thread's event loop.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    roundTrip().reset();
    benchmark::Shutdown();
    return 0;
}
