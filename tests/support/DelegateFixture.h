#pragma once

#include "FakePlatform.h"
#include "app/AppDelegate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talverin::testing {

inline const std::string serviceOrigin = "https://talverin.example";
inline const std::string apiBase = serviceOrigin + "/api/osx/v1/";

// The delegate on fakes, in Asia/Tokyo at 08:30:05 on 1 April 2024.
class DelegateFixture : public ::testing::Test {
protected:
    FakePlatform fake;
    AppDelegate delegate{fake.platform(), AppDelegate::Options{serviceOrigin, 0}};

    // Starts the agent and lets its start-up arrival be accepted, so that a test begins with the
    // agent running, no records, nothing pending and an empty journal.
    void startRunning() {
        delegate.applicationDidFinishLaunching();
        fake.urlSession.answerStatus(200, "ok");
        fake.mainQueue.drain();
        fake.journal.clear();
        fake.urlSession.started.clear();
    }

    void setClock(int day, int hour, int minute, int second) {
        fake.clock.current = localTime(2024, 4, day, hour, minute, second);
    }

    const std::vector<std::string>& entries() { return fake.journal.entries(); }
    std::vector<std::string> logLines() { return fake.journal.entriesStartingWith("log: "); }
    std::vector<std::string> consoleLines() {
        return fake.journal.entriesStartingWith("console: ");
    }
    std::vector<std::string> requestUrls() const {
        std::vector<std::string> urls;
        for (const auto& request : fake.urlSession.started) {
            urls.push_back(request.url);
        }
        return urls;
    }
    std::vector<std::string> recordKeys() const {
        std::vector<std::string> keys;
        for (const auto& [key, value] : fake.defaults.values) {
            keys.push_back(key);
        }
        return keys;
    }
};

} // namespace talverin::testing
