#include "InertDesktop.h"

namespace talverin::bench {

namespace {

class InertStatusItem final : public StatusItem {
public:
    bool hasButton() const override { return false; }
    void setImage(const std::string&) override {}
    void setMenu(Menu) override {}
    void setToolTip(const std::string&) override {}
};

} // namespace

InertDesktop::InertDesktop(std::string homeDirectory) : systemInfo_(std::move(homeDirectory)) {}

Platform InertDesktop::platformWith(MainQueue& mainQueue, DefaultsStore& defaults,
                                    UrlSession& urlSession) {
    return Platform{clock_,        console_,      mainQueue,      defaults,   urlSession,
                    sleeper_,      application_,  statusBar_,     alerts_,    workspace_,
                    systemEvents_, serialNumber_, launchAtLogin_, systemInfo_};
}

Platform InertDesktop::platformWith(DefaultsStore& defaults) {
    return platformWith(immediateMainQueue_, defaults, unansweredUrlSession_);
}

std::chrono::system_clock::time_point InertDesktop::WallClock::now() const {
    return std::chrono::system_clock::now();
}

void InertDesktop::DiscardingConsole::printLine(const std::string&) {}

void InertDesktop::ImmediateMainQueue::async(std::function<void()> work) {
    work();
}

void InertDesktop::UnansweredUrlSession::dataTask(const HttpRequest&, TransferCompletion) {}

void InertDesktop::NoSleeper::sleepMicroseconds(std::uint32_t) {}

void InertDesktop::InertApplication::terminate() {}

void InertDesktop::InertApplication::replyToApplicationShouldTerminate(bool) {}

std::unique_ptr<StatusItem> InertDesktop::InertStatusBar::statusItemWithLength(double) {
    return std::make_unique<InertStatusItem>();
}

void InertDesktop::InertAlerts::runModal(const Alert&) {}

void InertDesktop::InertWorkspace::openUrl(const std::string&) {}

std::optional<std::string> InertDesktop::FixedSerialNumber::read() {
    return std::string(serialNumberText);
}

bool InertDesktop::RememberedLaunchAtLogin::isEnabled() {
    return enabled_;
}

void InertDesktop::RememberedLaunchAtLogin::setEnabled(bool enabled) {
    enabled_ = enabled;
}

InertDesktop::FixedSystemInfo::FixedSystemInfo(std::string homeDirectory)
    : homeDirectory_(std::move(homeDirectory)) {}

OperatingSystemVersion InertDesktop::FixedSystemInfo::operatingSystemVersion() {
    return OperatingSystemVersion{6, 1, 0};
}

std::string InertDesktop::FixedSystemInfo::shortVersionString() {
    return "1.0";
}

std::string InertDesktop::FixedSystemInfo::bundleVersion() {
    return "1";
}

std::string InertDesktop::FixedSystemInfo::timeZoneIdentifier() {
    return "Asia/Tokyo";
}

bool InertDesktop::FixedSystemInfo::isDaylightSavingTime(std::chrono::system_clock::time_point) {
    return false;
}

std::string InertDesktop::FixedSystemInfo::homeDirectory() {
    return homeDirectory_;
}

} // namespace talverin::bench
