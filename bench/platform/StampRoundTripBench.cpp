#include "StampRoundTrip.h"
#include "support/LatencySamples.h"

#include <benchmark/benchmark.h>

namespace {

using namespace talverin;
using namespace std::chrono_literals;

constexpr int warmUpStamps = 50;
constexpr int timedStamps = 1000;
constexpr auto stampTimeout = 10s;

const char* const resendKey = "開始時の打刻_20240401083005";
const char* const resendTime = "20240401083005";

// Times sends of one kind after a warm-up on the connection the start-up stamp opened. prepare
// runs before each send, untimed.
void timeStamps(benchmark::State& state, const std::function<void()>& prepare,
                const bench::StampRoundTrip::Sender& send) {
    bench::StampRoundTrip* roundTrip = nullptr;
    try {
        roundTrip = &bench::StampRoundTrip::shared();
    } catch (const std::exception& problem) {
        state.SkipWithError(problem.what());
        return;
    }
    for (int warmUp = 0; warmUp < warmUpStamps; ++warmUp) {
        prepare();
        if (!roundTrip->timeUntilCompletion(send, stampTimeout)) {
            state.SkipWithError("a warm-up stamp was not accepted in time");
            return;
        }
    }
    bench::LatencySamples samples(timedStamps);
    for (auto _ : state) {
        prepare();
        const auto elapsed = roundTrip->timeUntilCompletion(send, stampTimeout);
        if (!elapsed) {
            state.SkipWithError("a stamp was not accepted in time");
            break;
        }
        samples.add(state, *elapsed);
    }
    samples.report(state);
}

// The transport alone: the URL session's POST and its answer, handed back to the main thread the
// way the delegate hands its completions back.
void urlSessionPost(benchmark::State& state) {
    HttpRequest request;
    request.method = "POST";
    request.headers.emplace_back("X-OSX-NUMBER", bench::InertDesktop::serialNumberText);
    timeStamps(
        state, [] {},
        [&request](Completion completion) {
            auto& roundTrip = bench::StampRoundTrip::shared();
            if (request.url.empty()) {
                request.url = roundTrip.stampUrl("stamp/leaving?tim=20240401083005");
            }
            roundTrip.urlSession().dataTask(
                request, [&roundTrip, completion](const TransferResult& result) {
                    if (result.response && result.response->statusCode == 200) {
                        roundTrip.mainQueue().async(completion);
                    }
                });
        });
}

// A fresh leaving stamp, the whole way: record written, POST, accepted, record removed, completion
// on the main queue. A leaving stamp starts no resend scan.
void freshLeavingStamp(benchmark::State& state) {
    timeStamps(
        state, [] {},
        [](Completion completion) {
            bench::StampRoundTrip::shared().delegate().leaveWithUnSentKey("", completion);
        });
}

// A resent arrival stamp: the record exists already (written untimed), so no record is written and
// no resend scan follows.
void resentArrivalStamp(benchmark::State& state) {
    timeStamps(
        state, [] { bench::StampRoundTrip::shared().defaults().setString(resendKey, resendTime); },
        [](Completion completion) {
            bench::StampRoundTrip::shared().delegate().arriveWithUnSentKey(resendKey, completion);
        });
}

// A fresh arrival stamp. Its completion is queued before the resend scan of the (otherwise empty)
// store runs on the delivery thread, so the scan shows only where it delays the next stamp.
void freshArrivalStamp(benchmark::State& state) {
    timeStamps(
        state, [] {},
        [](Completion completion) {
            bench::StampRoundTrip::shared().delegate().arriveWithUnSentKey("", completion);
        });
}

BENCHMARK(urlSessionPost)->Iterations(timedStamps)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(freshLeavingStamp)
    ->Iterations(timedStamps)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(resentArrivalStamp)
    ->Iterations(timedStamps)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(freshArrivalStamp)
    ->Iterations(timedStamps)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace
