#pragma once

#include "log/DailyLog.h"
#include "platform/ApplicationDelegate.h"
#include "platform/Platform.h"
#include "stamp/StampKind.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace talverin {

using Completion = std::function<void()>;
using FailureReporter = std::function<void(const std::string& label, std::int64_t remainingTimes,
                                           const std::optional<TransferError>& error)>;
using ResultHandler = std::function<void(const TransferResult& result)>;

// The agent: all of its state, and every operation it performs. One instance lives for the whole
// process; the platform reaches it through the main thread, and stamp answers reach it on the
// delivery queue.
class AppDelegate final : public ApplicationDelegate {
public:
    struct Options {
        std::string serviceOrigin;
        // How often a failed transfer is repeated. The agent always uses 0; tests set others.
        std::int64_t numberOfTimes = 0;
    };

    static constexpr const char* apiPath = "/api/osx/v1/";

    AppDelegate(Platform platform, Options options);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Start-up.
    void applicationDidFinishLaunching() override;
    void automaticLaunchWithManualSetting(bool manualSetting);
    std::string versionString();
    void showErrorAndQuit(const std::string& message);

    // Quit, termination and power-off.
    TerminateReply applicationShouldTerminate() override;
    void applicationWillTerminate() override;
    void powerOff();
    void terminateIfLocked();

    // Commands.
    void about();
    void quit();
    void leaveNow();
    void arriveNow();
    void toSite();
    void automaticLaunchManual();

    // Stamps. Both senders return at once; the completion runs once on the main queue, and only
    // when the service has accepted the stamp.
    void arriveWithUnSentKey(const std::string& unSentKey, Completion completion);
    void leaveWithUnSentKey(const std::string& unSentKey, Completion completion);
    void completeOrRetry(const TransferResult& result, std::int64_t remainingTimes,
                         FailureReporter failureReporter, std::string label,
                         std::uint32_t waitUseconds, std::int64_t maxTimes, UrlSession& session,
                         HttpRequest request, ResultHandler resultHandler);
    void logSendFailure(const std::string& label, std::int64_t remainingTimes,
                        const std::optional<TransferError>& error);
    void handleArrivalResult(const TransferResult& result, const std::string& effectiveKey,
                             const Completion& completion, const std::string& callerKey);
    void handleLeavingResult(const TransferResult& result, const std::string& effectiveKey,
                             const Completion& completion);

    // Unsent stamp records.
    std::string setUnset(StampKind kind);
    std::string unsentStampTime(const std::string& key);
    void removeUnsent(const std::string& key);
    void printUnsent();

    void writeLog(const std::string& message) const;
    std::string apiBase() const;

private:
    void sendStamp(StampKind kind, const std::string& unSentKey, Completion completion);
    // Sorts an answer: an accepted stamp's record is removed and its body text returned; a
    // refused or undelivered one is logged on the main queue and nothing is returned.
    std::optional<std::string> settleOutcome(StampKind kind, const TransferResult& result,
                                             const std::string& effectiveKey,
                                             const Completion& completion);
    void printLine(const std::string& line) const { platform_.console.printLine(line); }

    Platform platform_;
    DailyLog log_;
    std::string serviceOrigin_;

    bool _launchAtLogin;
    std::unique_ptr<StatusItem> statusBarItem;
    std::optional<std::string> seirialNumber;
    std::int64_t numberOfTimes;
    std::uint32_t numberOfWaitUseconds;
    bool lockTerminate;
};

} // namespace talverin
