#pragma once

#include "Journal.h"
#include "platform/ApplicationDelegate.h"
#include "platform/Platform.h"
#include "records/DateFormat.h"

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talverin::testing {

// A temporary folder that disappears with the test.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets TZ for the life of the object, so that no test depends on the machine's zone.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> previous_;
};

// The instant of a local wall-clock time in the current TZ.
Instant localTime(int year, int month, int day, int hour, int minute, int second);

class FakeClock : public Clock {
public:
    Instant current{};
    Instant now() const override { return current; }
};

class FakeConsole : public Console {
public:
    explicit FakeConsole(Journal& journal) : journal_(journal) {}
    void printLine(const std::string& line) override { journal_.record("console: " + line); }

private:
    Journal& journal_;
};

// A main queue that runs nothing until the test drains it. Each posting is journaled, so a test
// sees where in a sequence work was handed over to the main thread.
class ManualMainQueue : public MainQueue {
public:
    explicit ManualMainQueue(Journal& journal) : journal_(journal) {}
    void async(std::function<void()> work) override;
    std::size_t pending() const { return pending_.size(); }
    // Runs one item; false when there was none.
    bool runOne();
    // Runs until empty, including work queued by the work itself.
    void drain();

private:
    Journal& journal_;
    std::deque<std::function<void()>> pending_;
};

class InMemoryDefaults : public DefaultsStore {
public:
    void setString(const std::string& key, const std::string& value) override;
    std::optional<std::string> stringForKey(const std::string& key) override;
    void removeObject(const std::string& key) override;
    std::vector<std::pair<std::string, StoredValue>> dictionaryRepresentation() override;

    // A value that is not text, such as a number another program stored.
    void setNonText(const std::string& key);
    std::map<std::string, std::optional<std::string>> values;
};

// Keeps every request; the test answers them, which is what the delivery queue would do.
class ScriptedUrlSession : public UrlSession {
public:
    struct Task {
        HttpRequest request;
        TransferCompletion completion;
    };

    explicit ScriptedUrlSession(Journal& journal) : journal_(journal) {}
    void dataTask(const HttpRequest& request, TransferCompletion completion) override;

    std::size_t pending() const { return tasks_.size(); }
    const HttpRequest& request(std::size_t index) const { return tasks_.at(index).request; }
    // Answers the oldest pending request (or the one at index).
    void answer(TransferResult result, std::size_t index = 0);
    void answerStatus(int status, const std::string& body = "", std::size_t index = 0);
    void failTransfer(const std::string& text = "Connection refused", std::size_t index = 0);

    std::vector<HttpRequest> started; // every request ever started, in order

private:
    Journal& journal_;
    std::deque<Task> tasks_;
};

class FakeSleeper : public Sleeper {
public:
    explicit FakeSleeper(Journal& journal) : journal_(journal) {}
    void sleepMicroseconds(std::uint32_t microseconds) override;
    std::vector<std::uint32_t> waits;

private:
    Journal& journal_;
};

// Records termination calls. With a delegate attached it also plays the application runner: a
// request asks the delegate, "later" holds it until a YES reply (a NO cancels it), and a request
// made while the application is ending starts no new cycle.
class FakeApplication : public Application {
public:
    explicit FakeApplication(Journal& journal) : journal_(journal) {}
    void attach(ApplicationDelegate& delegate) { delegate_ = &delegate; }
    void terminate() override;
    void replyToApplicationShouldTerminate(bool shouldTerminate) override;
    int terminateRequests = 0;
    bool ended = false;

private:
    enum class Phase { running, asking, held, ending };
    void end();

    Journal& journal_;
    ApplicationDelegate* delegate_ = nullptr;
    Phase phase_ = Phase::running;
};

class FakeStatusItem : public StatusItem {
public:
    FakeStatusItem(Journal& journal, bool hasButton) : journal_(journal), hasButton_(hasButton) {}
    bool hasButton() const override { return hasButton_; }
    void setImage(const std::string& imageName) override;
    void setMenu(Menu menu) override;
    Menu menu;
    std::string image;

private:
    Journal& journal_;
    bool hasButton_;
};

class FakeStatusBar : public StatusBar {
public:
    explicit FakeStatusBar(Journal& journal) : journal_(journal) {}
    std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
    FakeStatusItem* item = nullptr; // the last one made; owned by the delegate
    bool withButton = true;

private:
    Journal& journal_;
};

class FakeAlerts : public Alerts {
public:
    explicit FakeAlerts(Journal& journal) : journal_(journal) {}
    void runModal(const Alert& alert) override;
    std::vector<Alert> shown;
    std::function<void()> whileShown; // runs inside the modal loop, as a desktop event would

private:
    Journal& journal_;
};

class FakeWorkspace : public Workspace {
public:
    explicit FakeWorkspace(Journal& journal) : journal_(journal) {}
    void openUrl(const std::string& url) override { journal_.record("open: " + url); }

private:
    Journal& journal_;
};

class FakeSystemEvents : public SystemEvents {
public:
    explicit FakeSystemEvents(Journal& journal) : journal_(journal) {}
    void observeWillPowerOff(std::function<void()> handler) override;
    void observeScreenLocked(std::function<void()> handler) override;
    void observeScreenUnlocked(std::function<void()> handler) override;
    std::function<void()> willPowerOff, screenLocked, screenUnlocked;

private:
    Journal& journal_;
};

class FakeSerialNumber : public SerialNumberSource {
public:
    explicit FakeSerialNumber(Journal& journal) : journal_(journal) {}
    std::optional<std::string> read() override;
    std::optional<std::string> serial = "C02TEST123";

private:
    Journal& journal_;
};

class FakeLaunchAtLogin : public LaunchAtLogin {
public:
    bool enabled = false;
    bool refuseChanges = false;
    bool isEnabled() override { return enabled; }
    void setEnabled(bool wanted) override;
};

class FakeSystemInfo : public SystemInfo {
public:
    explicit FakeSystemInfo(std::filesystem::path home) : home_(std::move(home)) {}
    OperatingSystemVersion operatingSystemVersion() override { return osVersion; }
    std::string shortVersionString() override { return shortVersion; }
    std::string bundleVersion() override { return buildNumber; }
    std::string timeZoneIdentifier() override { return zone; }
    bool isDaylightSavingTime(Instant) override { return daylightSaving; }
    std::string homeDirectory() override { return home_.string(); }

    OperatingSystemVersion osVersion{6, 1, 0};
    std::string shortVersion = "1.0";
    std::string buildNumber = "3";
    std::string zone = "Asia/Tokyo";
    bool daylightSaving = false;

private:
    std::filesystem::path home_;
};

// Every fake wired together, with a temporary HOME and a fixed clock in Asia/Tokyo.
struct FakePlatform {
    FakePlatform();

    TemporaryFolder home;
    ScopedTimeZone zone{"Asia/Tokyo"};
    Journal journal{home.path() / "Library" / "Logs"};
    FakeClock clock;
    FakeConsole console{journal};
    ManualMainQueue mainQueue{journal};
    InMemoryDefaults defaults;
    ScriptedUrlSession urlSession{journal};
    FakeSleeper sleeper{journal};
    FakeApplication application{journal};
    FakeStatusBar statusBar{journal};
    FakeAlerts alerts{journal};
    FakeWorkspace workspace{journal};
    FakeSystemEvents systemEvents{journal};
    FakeSerialNumber serialNumber{journal};
    FakeLaunchAtLogin launchAtLogin;
    FakeSystemInfo systemInfo{home.path()};

    Platform platform();
};

} // namespace talverin::testing
