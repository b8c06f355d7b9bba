#include "StampRoundTrip.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

// The round-trip benchmarks need an application object and the main thread's event loop; the
// shared stamp path is stopped before the application object goes.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    talverin::bench::StampRoundTrip::end();
    benchmark::Shutdown();
    return 0;
}
