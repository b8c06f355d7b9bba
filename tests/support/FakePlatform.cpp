#include "FakePlatform.h"

#include <cstdlib>
#include <ctime>
#include <random>
#include <stdexcept>

namespace talverin::testing {

TemporaryFolder::TemporaryFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "talverin-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code error;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(path_, error);
}

ScopedTimeZone::ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) {
        previous_ = old;
    }
    setenv("TZ", zone, 1);
    tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (previous_) {
        setenv("TZ", previous_->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

Instant localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&fields));
}

void ManualMainQueue::async(std::function<void()> work) {
    journal_.record("main queue: async");
    pending_.push_back(std::move(work));
}

bool ManualMainQueue::runOne() {
    if (pending_.empty()) {
        return false;
    }
    auto work = std::move(pending_.front());
    pending_.pop_front();
    work();
    return true;
}

void ManualMainQueue::drain() {
    while (runOne()) {
    }
}

void InMemoryDefaults::setString(const std::string& key, const std::string& value) {
    values[key] = value;
}

std::optional<std::string> InMemoryDefaults::stringForKey(const std::string& key) {
    auto found = values.find(key);
    return found == values.end() ? std::nullopt : found->second;
}

void InMemoryDefaults::removeObject(const std::string& key) {
    values.erase(key);
}

std::vector<std::pair<std::string, StoredValue>> InMemoryDefaults::dictionaryRepresentation() {
    std::vector<std::pair<std::string, StoredValue>> snapshot;
    for (const auto& [key, value] : values) {
        snapshot.emplace_back(key, StoredValue{value});
    }
    return snapshot;
}

void InMemoryDefaults::setNonText(const std::string& key) {
    values[key] = std::nullopt;
}

void ScriptedUrlSession::dataTask(const HttpRequest& request, TransferCompletion completion) {
    journal_.record("request: " + request.method + " " + request.url);
    started.push_back(request);
    tasks_.push_back(Task{request, std::move(completion)});
}

void ScriptedUrlSession::answer(TransferResult result, std::size_t index) {
    auto task = std::move(tasks_.at(index));
    tasks_.erase(tasks_.begin() + static_cast<std::ptrdiff_t>(index));
    task.completion(std::move(result));
}

void ScriptedUrlSession::answerStatus(int status, const std::string& body, std::size_t index) {
    answer(TransferResult{body, HttpResponse{true, status}, std::nullopt}, index);
}

void ScriptedUrlSession::failTransfer(const std::string& text, std::size_t index) {
    answer(TransferResult{std::nullopt, std::nullopt,
                          TransferError{"ConnectionRefusedError", 1, text}},
           index);
}

void FakeSleeper::sleepMicroseconds(std::uint32_t microseconds) {
    journal_.record("sleep: " + std::to_string(microseconds));
    waits.push_back(microseconds);
}

void FakeApplication::terminate() {
    ++terminateRequests;
    journal_.record("terminate");
    if (delegate_ == nullptr || phase_ == Phase::asking || phase_ == Phase::ending) {
        return;
    }
    phase_ = Phase::asking;
    const TerminateReply answer = delegate_->applicationShouldTerminate();
    switch (answer) {
    case TerminateReply::Now:
        journal_.record("answer: Now");
        end();
        break;
    case TerminateReply::Later:
        journal_.record("answer: Later");
        phase_ = Phase::held;
        break;
    case TerminateReply::Cancel:
        journal_.record("answer: Cancel");
        phase_ = Phase::running;
        break;
    }
}

void FakeApplication::replyToApplicationShouldTerminate(bool shouldTerminate) {
    journal_.record(std::string("reply: ") + (shouldTerminate ? "YES" : "NO"));
    if (phase_ != Phase::held) {
        return;
    }
    if (shouldTerminate) {
        end();
    } else {
        phase_ = Phase::running;
    }
}

void FakeApplication::end() {
    phase_ = Phase::ending;
    delegate_->applicationWillTerminate();
    ended = true;
    journal_.record("ended");
}

void FakeStatusItem::setImage(const std::string& imageName) {
    image = imageName;
    journal_.record("image: " + imageName);
}

void FakeStatusItem::setMenu(Menu newMenu) {
    std::string titles;
    for (const auto& entry : newMenu.items) {
        titles += (titles.empty() ? "" : "|") + entry.title;
    }
    journal_.record("menu: " + newMenu.title + " [" + titles + "]");
    menu = std::move(newMenu);
}

std::unique_ptr<StatusItem> FakeStatusBar::statusItemWithLength(double length) {
    journal_.record("status item: " + std::to_string(static_cast<int>(length)));
    auto made = std::make_unique<FakeStatusItem>(journal_, withButton);
    item = made.get();
    return made;
}

void FakeAlerts::runModal(const Alert& alert) {
    auto style = alert.style ? std::to_string(static_cast<int>(*alert.style)) : "default";
    journal_.record("alert: " + alert.messageText.value_or("-") + " / " +
                    alert.informativeText.value_or("-") + " / " + style);
    shown.push_back(alert);
    if (whileShown) {
        whileShown();
    }
}

void FakeSystemEvents::observeWillPowerOff(std::function<void()> handler) {
    journal_.record("observe: power-off");
    willPowerOff = std::move(handler);
}

void FakeSystemEvents::observeScreenLocked(std::function<void()> handler) {
    journal_.record("observe: screen locked");
    screenLocked = std::move(handler);
}

void FakeSystemEvents::observeScreenUnlocked(std::function<void()> handler) {
    journal_.record("observe: screen unlocked");
    screenUnlocked = std::move(handler);
}

std::optional<std::string> FakeSerialNumber::read() {
    journal_.record("serial read");
    return serial;
}

void FakeLaunchAtLogin::setEnabled(bool wanted) {
    if (!refuseChanges) {
        enabled = wanted;
    }
}

FakePlatform::FakePlatform() {
    clock.current = localTime(2024, 4, 1, 8, 30, 5);
}

Platform FakePlatform::platform() {
    return Platform{clock,        console,      mainQueue,     defaults,  urlSession,
                    sleeper,      application,  statusBar,     alerts,    workspace,
                    systemEvents, serialNumber, launchAtLogin, systemInfo};
}

} // namespace talverin::testing
