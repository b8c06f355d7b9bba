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
    // be sent, so there is nothing to wait for: holding the quit would never end. A user who is
    // away has had the day's end stamped already (or stored): nothing to wait for either.
    if (lockTerminate || !seirialNumber || !presence_.isPresent()) {
        platform_.application.replyToApplicationShouldTerminate(true);
        return TerminateReply::Now;
    }
    // The record is on disk before anything is sent, so the day's end is never lost.
    const std::string key = setUnset(StampKind::leaving, true);
    lockTerminate = true;
    terminationHeld_ = true;
    presence_.quitting();
    endingStamp_ = sendStamp(
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

// The system's own termination request follows and finds the lock set. A user who had left
// before (the screen locked at six, an update powering off at ten) is not stamped again: the
// day ended when they left.
void AppDelegate::powerOff() {
    printLine("powerOff");
    lockTerminate = true;
    holdFor(Hold::powerOff, stampChange(presence_.poweringOff(true)));
}

// logind can call a power-off off. Unless a quit was asked for, the day goes on: the next quit
// or power-off stamps again, and an arrival records that the user is still there, if they are.
void AppDelegate::powerOffCancelled() {
    printLine("powerOffCancelled");
    dropHold(Hold::powerOff);
    if (!terminationHeld_) {
        lockTerminate = false;
    }
    stampChange(presence_.poweringOff(false));
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
    if (!seirialNumber || !presence_.isPresent()) {
        return; // the day's end is stored already, or was never begun
    }
    // Only the store and the log, which any thread may use: the event loops are going away.
    writeLog("終了時の打刻: " + setUnset(StampKind::leaving));
}

} // namespace talverin
