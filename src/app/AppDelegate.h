#pragma once

#include "app/Presence.h"
#include "log/DailyLog.h"
#include "platform/ApplicationDelegate.h"
#include "platform/Platform.h"
#include "stamp/StampKind.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
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
    void powerOffCancelled();
    void terminateIfLocked();

    // The desktop's events. Each leaving trigger stamps only when it ends the user's presence,
    // each return only when it begins it again.
    void screenLocked(bool locked);
    void sleeping(bool asleep);
    void sessionEnding(bool ending);
    // Stored stamps go out as soon as the system reports the network reachable again.
    void networkBack();
    // The process is ending without a termination request (the toolkit ends it when the display
    // goes away at log-out), possibly from another thread: the day's end is stored, and the next
    // start sends it with its own time.
    void applicationEndsAbruptly();

    // Commands.
    void about();
    void quit();
    void leaveNow();
    void arriveNow();
    void toSite();
    void automaticLaunchManual();
    // Whether a key names a stored leaving record, the only kind a caller may have sent again.
    bool isUnsentLeavingKey(const std::string& key);

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

    // Unsent stamp records. claimFlight: the record's transfer is registered before the record is
    // stored, so that no resend scan finds it unclaimed in between and sends it as well.
    std::string setUnset(StampKind kind, bool claimFlight = false);
    std::string unsentStampTime(const std::string& key);
    void removeUnsent(const std::string& key);
    void printUnsent();

    void writeLog(const std::string& message) const;
    // The tray item's tooltip: the name, the last accepted stamp, the unsent records if any.
    // Asked for after every outcome; a burst of outcomes reads the store once.
    void refreshToolTipLater();
    void refreshToolTip();
    std::size_t unsentCount();
    std::string apiBase() const;

private:
    // fresh: a stamp of its own, made just now, rather than a record sent again; its flight is
    // claimed already. Returns the key of the record sent.
    // Returns the stamp's own number (0 for a record sent again): keys made in the same second
    // are the same key, so only this number tells two fresh stamps apart.
    std::uint64_t sendStamp(StampKind kind, const std::string& unSentKey, Completion completion,
                            bool fresh);
    // A change of presence stamped: an arrival, or a leaving whose key is returned.
    std::uint64_t stampChange(Presence::Change change);
    // Keeps a hold until the outcome of the leaving stamp with that key, or of the one that ended
    // the presence if it is still under way; with neither, lets it go at once.
    void holdFor(Hold hold, std::uint64_t stamp);
    void dropHold(Hold hold) { heldFor_.erase(hold); }
    // After every leaving outcome, on the main queue: the holds kept for that stamp go, and a held
    // quit may go ahead.
    void settleLeavingLater(std::uint64_t stamp);
    void settleLeaving(std::uint64_t stamp);
    void noteAcceptedLater(StampKind kind, const std::string& key);
    // Sorts an answer: an accepted stamp's record is removed and its body text returned; a
    // refused or undelivered one is logged on the main queue and nothing is returned.
    std::optional<std::string> settleOutcome(StampKind kind, const TransferResult& result,
                                             const std::string& effectiveKey,
                                             const Completion& completion);
    void printLine(const std::string& line) const { platform_.console.printLine(line); }
    // A record whose transfer is under way is not sent again until its outcome is known: a
    // resend scan, an overlapping one or a caller would otherwise send the same stamp twice.
    bool startFlight(const std::string& key, bool evenIfUnderWay);
    void endFlight(const std::string& key);
    bool isInFlight(const std::string& key);
    // Whether another transfer under way uses the same record as the one just answered.
    bool sharesItsRecord(const std::string& key);

    Platform platform_;
    DailyLog log_;
    std::string serviceOrigin_;

    bool _launchAtLogin;
    std::unique_ptr<StatusItem> statusBarItem;
    std::optional<std::string> seirialNumber;
    std::int64_t numberOfTimes;
    std::uint32_t numberOfWaitUseconds;
    bool lockTerminate;
    // A termination request is waiting for its leaving stamp (a power-off alone is not one).
    bool terminationHeld_ = false;
    Presence presence_;
    // The leaving stamp that ended the presence, until its outcome; and what each hold waits for.
    // Main thread only.
    std::uint64_t endingStamp_ = 0;
    std::map<Hold, std::uint64_t> heldFor_;
    std::atomic<std::uint64_t> lastStamp_{0};
    // The newest stamp the service accepted: its time and label, for the tooltip.
    std::string lastAcceptedTime_;
    std::string lastAcceptedLabel_;
    std::atomic<bool> toolTipRefreshQueued_{false};
    // The unsent records' keys, for the tooltip's count; records are stored on the main thread
    // and removed on the delivery queue.
    void countUnsent(const std::string& key, bool stored);
    std::mutex unsentKeysMutex_;
    std::set<std::string> unsentKeys_;
    bool unsentKeysRead_ = false;

    // Fresh stamps start on the main thread, resends on the delivery queue.
    std::mutex inFlightMutex_;
    std::map<std::string, int> inFlight_; // key → transfers under way with it
};

} // namespace talverin
