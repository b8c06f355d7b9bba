#pragma once

#include "LocalStampService.h"
#include "app/AppDelegate.h"
#include "platform/linux/QtMainQueue.h"
#include "platform/linux/QtUrlSession.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "support/InertDesktop.h"
#include "support/TemporaryFolder.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace talverin::bench {

// The agent's real stamp path on loopback: the delegate with the SQLite store, the URL session on
// its delivery thread and the main queue, against the local stamp service. Launching sends the
// start-up arrival stamp, which also opens the connection that later stamps reuse.
class StampRoundTrip {
public:
    StampRoundTrip();
    ~StampRoundTrip();
    StampRoundTrip(const StampRoundTrip&) = delete;
    StampRoundTrip& operator=(const StampRoundTrip&) = delete;

    // One per process, made on first use on the main thread; end() stops it before the
    // application object goes.
    static StampRoundTrip& shared();
    static void end();

    // Calls send with a completion and runs the main event loop until the completion has run on
    // it. The time from the call to the completion, or nothing when it did not come within timeout.
    using Sender = std::function<void(Completion)>;
    std::optional<std::chrono::nanoseconds> timeUntilCompletion(const Sender& send,
                                                                std::chrono::milliseconds timeout);

    AppDelegate& delegate() { return delegate_; }
    QtUrlSession& urlSession() { return urlSession_; }
    QtMainQueue& mainQueue() { return mainQueue_; }
    SqliteDefaultsStore& defaults() { return defaults_; }
    std::string stampUrl(const char* pathAndQuery) const;

private:
    void waitUntilStoreIsEmpty(std::chrono::milliseconds timeout);

    TemporaryFolder folder_;
    LocalStampService service_;
    SqliteDefaultsStore defaults_;
    QtUrlSession urlSession_;
    QtMainQueue mainQueue_;
    InertDesktop desktop_;
    AppDelegate delegate_;
};

} // namespace talverin::bench
