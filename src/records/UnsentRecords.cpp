#include "app/AppDelegate.h"

#include "records/DateFormat.h"
#include "records/StampTime.h"

namespace talverin {

std::string AppDelegate::setUnset(StampKind kind, bool claimFlight) {
    const std::string stamp = formatDate(stampTimePattern, platform_.clock.now());
    const std::string key = std::string(traitsOf(kind).label) + "_" + stamp;
    if (claimFlight) {
        startFlight(key, true);
    }
    printLine("setUnset: " + key);
    platform_.defaults.setString(key, stamp);
    countUnsent(key, true);
    return key;
}

std::string AppDelegate::unsentStampTime(const std::string& key) {
    const std::optional<std::string> stored = platform_.defaults.stringForKey(key);
    if (!stored) {
        writeLog("未送信の打刻を取得できませんでした:" + key);
        return "";
    }
    // Older records may hold a 12-hour time; the service takes only the 24-hour form.
    if (const auto instant = parseDate("yyyyMMddhmmss a", *stored)) {
        return formatDate(stampTimePattern, *instant);
    }
    if (const auto instant = parseDate("yyyyMMddhhmmss a", *stored)) {
        return formatDate(stampTimePattern, *instant);
    }
    return *stored;
}

void AppDelegate::removeUnsent(const std::string& key) {
    printLine("removeUnsent: " + key);
    platform_.defaults.removeObject(key);
    countUnsent(key, false);
}

} // namespace talverin
