#pragma once

#include "platform/Platform.h"

#include <string>

namespace talverin::bench {

// A desktop on which nothing happens: no tray, no alerts, no screen lock, no power-off, a fixed
// serial number, the real clock, and a console that throws its lines away. The benchmarks add the
// store, the URL session and the main queue they measure; everything else stays out of the way.
class InertDesktop {
public:
    explicit InertDesktop(std::string homeDirectory);

    Platform platformWith(MainQueue& mainQueue, DefaultsStore& defaults, UrlSession& urlSession);
    // For work that never sends: a main queue that runs work at once, a session that never answers.
    Platform platformWith(DefaultsStore& defaults);

    static constexpr const char* serialNumberText = "BENCH-SERIAL-0001";

private:
    class WallClock final : public Clock {
    public:
        std::chrono::system_clock::time_point now() const override;
    };
    class DiscardingConsole final : public Console {
    public:
        void printLine(const std::string& line) override;
    };
    class ImmediateMainQueue final : public MainQueue {
    public:
        void async(std::function<void()> work) override;
    };
    class UnansweredUrlSession final : public UrlSession {
    public:
        void dataTask(const HttpRequest& request, TransferCompletion completion) override;
    };
    class NoSleeper final : public Sleeper {
    public:
        void sleepMicroseconds(std::uint32_t microseconds) override;
    };
    class InertApplication final : public Application {
    public:
        void terminate() override;
        void replyToApplicationShouldTerminate(bool shouldTerminate) override;
    };
    class InertStatusBar final : public StatusBar {
    public:
        std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
    };
    class InertAlerts final : public Alerts {
    public:
        void runModal(const Alert& alert) override;
    };
    class InertWorkspace final : public Workspace {
    public:
        void openUrl(const std::string& url) override;
    };
    class InertSystemEvents final : public SystemEvents {
    public:
        void observe(SystemEventObservers) override {}
        bool isScreenLocked() override { return false; }
        std::optional<bool> isNetworkReachable() override { return true; }
        void release(Hold) override {}
    };
    class FixedSerialNumber final : public SerialNumberSource {
    public:
        std::optional<std::string> read() override;
    };
    class RememberedLaunchAtLogin final : public LaunchAtLogin {
    public:
        bool isEnabled() override;
        void setEnabled(bool enabled) override;

    private:
        bool enabled_ = false;
    };
    class FixedSystemInfo final : public SystemInfo {
    public:
        explicit FixedSystemInfo(std::string homeDirectory);
        OperatingSystemVersion operatingSystemVersion() override;
        std::string shortVersionString() override;
        std::string bundleVersion() override;
        std::string timeZoneIdentifier() override;
        bool isDaylightSavingTime(std::chrono::system_clock::time_point instant) override;
        std::string homeDirectory() override;

    private:
        std::string homeDirectory_;
    };

    WallClock clock_;
    DiscardingConsole console_;
    ImmediateMainQueue immediateMainQueue_;
    UnansweredUrlSession unansweredUrlSession_;
    NoSleeper sleeper_;
    InertApplication application_;
    InertStatusBar statusBar_;
    InertAlerts alerts_;
    InertWorkspace workspace_;
    InertSystemEvents systemEvents_;
    FixedSerialNumber serialNumber_;
    RememberedLaunchAtLogin launchAtLogin_;
    FixedSystemInfo systemInfo_;
};

} // namespace talverin::bench
