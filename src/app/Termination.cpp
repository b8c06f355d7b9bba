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
    leaveWithUnSentKey(key, [] {});
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

void AppDelegate::terminateIfLocked() {
    if (!lockTerminate) {
        return;
    }
    platform_.application.replyToApplicationShouldTerminate(true);
    platform_.application.terminate();
}

} // namespace talverin
