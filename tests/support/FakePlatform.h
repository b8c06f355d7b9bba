#pragma once

// Every platform service faked in one object. No test framework here: the fuzzer links it too.

#include "platform/ApplicationDelegate.h"
#include "platform/Platform.h"
#include "records/DateFormat.h"

#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

namespace talverin::testing {

// Sets TZ for the life of the object, so that nothing depends on the machine's zone.
struct ScopedTimeZone {
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            previous_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        previous_ ? setenv("TZ", previous_->c_str(), 1) : unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> previous_;
};

inline Instant localTime(const std::string& text) {
    std::tm fields{};
    strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &fields);
    fields.tm_isdst = -1; // whichever is in force on that day
    return std::chrono::system_clock::from_time_t(std::mktime(&fields));
}

template <class... Services> struct Implements : Services... {};

// A HOME of its own, the given zone, 08:30:05 on 1 April 2024. Nothing runs on the main queue and
// no request is answered until the test says so. What the agent stores, sends and shows, and the
// end, go into one journal, which takes in the daily log's lines as they appear: its order is true.
struct FakePlatform : Implements<Clock, Console, MainQueue, DefaultsStore, UrlSession, Sleeper,
                                 Application, StatusBar, Alerts, Workspace, SystemEvents,
                                 SerialNumberSource, LaunchAtLogin, SystemInfo> {
    explicit FakePlatform(const char* timeZone = "Asia/Tokyo")
        : zone(timeZone), clock(localTime("2024-04-01 08:30:05")) {
        std::string name = (std::filesystem::temp_directory_path() / "talverin-XXXXXX").string();
        home = mkdtemp(name.data()) != nullptr ? name : throw std::runtime_error("no HOME");
    }
    FakePlatform(const FakePlatform&) = delete;
    ~FakePlatform() override {
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    Platform platform() {
        return {*this, *this, *this, *this, *this, *this, *this,
                *this, *this, *this, *this, *this, *this, *this};
    }
    std::vector<std::string>& entries() { // a log line is "log: <message>", without its time
        std::error_code noLogYet;
        std::size_t seen = 0;
        for (const auto& day : std::set<std::filesystem::path>( // one file a day, named by its date
                 std::filesystem::directory_iterator(home / "Library/Logs", noLogYet), {})) {
            std::ifstream in(day);
            for (std::string line; std::getline(in, line);) // past "yyyy/MM/dd HH:mm:ss - "
                if (++seen > logLinesTaken_)
                    entries_.push_back("log: " + line.erase(0, 22));
        }
        logLinesTaken_ = seen; // the files only grow
        return entries_;
    }
    std::vector<std::string> entriesStartingWith(const std::string& prefix) { // prefix removed
        std::vector<std::string> selected;
        for (const auto& entry : entries())
            if (entry.starts_with(prefix))
                selected.push_back(entry.substr(prefix.size()));
        return selected;
    }
    Instant now() const override { return std::exchange(clock, clock + tick); }
    void printLine(const std::string& line) override { console.push_back(line); }
    void async(std::function<void()> work) override { mainQueue.push_back(work); }
    void drainMainQueue() { // with the work queued by that work
        for (; !mainQueue.empty(); mainQueue.pop_front())
            std::exchange(mainQueue.front(), {})();
    }
    void setString(const std::string& key, const std::string& value) override {
        entries().push_back("store: " + key);
        store[key] = value;
        if (afterStoring)
            std::exchange(afterStoring, {})();
    }
    std::optional<std::string> stringForKey(const std::string& key) override {
        return store.contains(key) ? store[key] : std::nullopt;
    }
    void removeObject(const std::string& key) override { store.erase(key); }
    std::vector<std::pair<std::string, StoredValue>> dictionaryRepresentation() override {
        std::vector<std::pair<std::string, StoredValue>> snapshot;
        for (const auto& [key, value] : store)
            snapshot.push_back({key, {value}});
        return snapshot;
    }
    void dataTask(const HttpRequest& request, TransferCompletion completion) override {
        entries().push_back("request: " + request.url);
        requests.push_back(request);
        transfers.push_back(std::move(completion));
    }
    void answer(TransferResult result) {
        auto completion = std::exchange(transfers.at(0), {});
        transfers.pop_front();
        completion(std::move(result));
    }
    void failTransfer(const std::string& text = "Connection refused") {
        answer({std::nullopt, std::nullopt, TransferError{"ConnectionRefusedError", 1, text}});
    }
    void sleepMicroseconds(std::uint32_t microseconds) override { waits.push_back(microseconds); }
    // With a runner attached, a termination request asks it; "later" holds the request until a
    // YES reply (NO cancels it), and one made while the application is ending starts no cycle.
    void terminate() override {
        if (runner != nullptr && !ended) {
            held_ = false;
            const TerminateReply reply = runner->applicationShouldTerminate();
            held_ = reply == TerminateReply::Later;
            if (reply == TerminateReply::Now)
                end();
        }
    }
    void replyToApplicationShouldTerminate(bool shouldTerminate) override {
        if (std::exchange(held_, false) && shouldTerminate)
            end();
    }
    std::unique_ptr<StatusItem> statusItemWithLength(double) override {
        struct Item : StatusItem { // its tooltip is the platform's
            explicit Item(std::string& toolTip) : toolTip_(toolTip) {}
            bool hasButton() const override { return true; }
            void setImage(const std::string&) override {}
            void setMenu(Menu) override {}
            void setToolTip(const std::string& text) override { toolTip_ = text; }
            std::string& toolTip_;
        };
        return std::make_unique<Item>(toolTip);
    }
    void runModal(const Alert& alert) override {
        entries().push_back("alert: " + alert.informativeText.value_or(""));
    }
    void openUrl(const std::string&) override {}
    void observe(SystemEventObservers observers) override { events = std::move(observers); }
    bool isScreenLocked() override { return false; }
    std::optional<bool> isNetworkReachable() override { return networkReachable; }
    void release(Hold hold) override {
        const char* names[] = {"sleep", "power-off", "session end"};
        entries().push_back(std::string("released: ") + names[static_cast<int>(hold)]);
    }
    std::optional<std::string> read() override { return serial; }
    bool isEnabled() override { return launchAtLogin; }
    void setEnabled(bool wanted) override { launchAtLogin = refuse ? launchAtLogin : wanted; }
    // Values the agent only logs, none of them the usual one.
    OperatingSystemVersion operatingSystemVersion() override { return {14, 10, 3}; }
    std::string shortVersionString() override { return "2.0"; }
    std::string bundleVersion() override { return "3"; }
    std::string timeZoneIdentifier() override { return "Europe/Berlin"; }
    bool isDaylightSavingTime(Instant) override { return true; }
    std::string homeDirectory() override { return home.string(); }

    ScopedTimeZone zone;
    mutable Instant clock;
    std::chrono::seconds tick{0}; // how far each reading of the clock moves it on
    std::filesystem::path home;
    std::vector<std::string> console;
    std::deque<std::function<void()>> mainQueue;
    std::map<std::string, std::optional<std::string>> store; // nothing: a value that is not text
    std::vector<HttpRequest> requests;                       // every request ever made, in order
    std::deque<TransferCompletion> transfers;                // those not answered yet
    std::vector<std::uint32_t> waits;
    std::function<void()> afterStoring; // once, right after the next record is stored
    ApplicationDelegate* runner = nullptr;
    SystemEventObservers events;
    std::optional<bool> networkReachable = true; // nothing: the system cannot tell
    std::string toolTip;                         // the status item's, as last set
    std::optional<std::string> serial = "C02TEST123";
    bool ended = false, launchAtLogin = false, refuse = false; // refuse: it cannot be changed

private:
    void end() {
        ended = true;
        runner->applicationWillTerminate();
        entries().push_back("ended");
    }
    bool held_ = false; // a termination request answered "later"
    std::vector<std::string> entries_;
    std::size_t logLinesTaken_ = 0;
};

} // namespace talverin::testing
