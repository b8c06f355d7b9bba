#include "app/AppDelegate.h"

namespace talverin {

namespace {
const char* boolText(bool value) {
    return value ? "true" : "false";
}
} // namespace

TerminateReply AppDelegate::applicationShouldTerminate() {
    printLine(std::string("applicationShouldTerminate.lockTerminate: ") + boolText(lockTerminate));
    // Without a serial number the agent never began the working day and no leaving stamp could
    // be sent, so there is nothing to wait for: holding the quit would never end.
    if (lockTerminate || !seirialNumber) {
        platform_.application.replyToApplicationShouldTerminate(true);
        return TerminateReply::Now;
    }
    // The record is on disk before anything is sent, so the day's end is never lost.
    const std::string key = setUnset(StampKind::leaving);
    lockTerminate = true;
    terminationHeld_ = true;
    // The quit's own stamp, stored just now: it goes out even beside one of the same second.
    sendStamp(
        StampKind::leaving, key, [] {}, true);
    writeLog("終了時の打刻: " + key);
    platform_.application.replyToApplicationShouldTerminate(false);
    return TerminateReply::Later;
}

void AppDelegate::applicationWillTerminate() {
    printLine(std::string("applicationWillTerminate.lockTerminate: ") + boolText(lockTerminate));
    if (lockTerminate) {
        platform_.application.terminate();
    }
}

void AppDelegate::powerOff() {
    printLine("powerOff");
    lockTerminate = true;
    leaveWithUnSentKey("", [] {});
}

// logind can call a power-off off. Unless a quit was asked for, the day goes on: the next quit
// or power-off stamps again, and an arrival records that the user is still there.
void AppDelegate::powerOffCancelled() {
    printLine("powerOffCancelled");
    if (terminationHeld_ || !lockTerminate) {
        return;
    }
    lockTerminate = false;
    arriveWithUnSentKey("", [] {});
}

// A power-off alone does not end the agent when its stamp has an outcome: the system's own
// termination request does, at once, and a cancelled power-off leaves it running.
void AppDelegate::terminateIfLocked() {
    if (!lockTerminate || !terminationHeld_) {
        return;
    }
    platform_.application.replyToApplicationShouldTerminate(true);
    platform_.application.terminate();
}

void AppDelegate::applicationEndsAbruptly() {
    if (lockTerminate || !seirialNumber) {
        return; // a quit or a power-off has stored the day's end already
    }
    // Only the store and the log, which any thread may use: the event loops are going away.
    writeLog("終了時の打刻: " + setUnset(StampKind::leaving));
}

} // namespace talverin
