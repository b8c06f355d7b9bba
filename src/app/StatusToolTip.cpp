#include "app/AppDelegate.h"

#include "records/StampTime.h"

namespace talverin {

void AppDelegate::refreshToolTipLater() {
    if (!toolTipRefreshQueued_.exchange(true)) {
        platform_.mainQueue.async([this] { refreshToolTip(); });
    }
}

void AppDelegate::refreshToolTip() {
    toolTipRefreshQueued_ = false;
    if (!statusBarItem) {
        return;
    }
    std::string text = "TALVERIN Timestamp";
    if (isStampTime(lastAcceptedTime_)) {
        text += "\n最後の打刻：" + lastAcceptedLabel_ + " " + minuteText(lastAcceptedTime_);
    }
    const std::size_t unsent = unsentCount();
    if (unsent > 0) {
        text += "\n未送信の打刻：" + std::to_string(unsent) + "件";
    }
    statusBarItem->setToolTip(text);
}

// The store is read once, at the first refresh; from then on the records the agent stores and
// removes are counted as it does so. Reading the whole store after every outcome would cost a
// resend of thousands of records more than the resend itself.
std::size_t AppDelegate::unsentCount() {
    const std::lock_guard lock(unsentKeysMutex_);
    if (!unsentKeysRead_) {
        for (const auto& [key, value] : platform_.defaults.dictionaryRepresentation()) {
            if (isUnsentKey(key)) {
                unsentKeys_.insert(key);
            }
        }
        unsentKeysRead_ = true;
    }
    return unsentKeys_.size();
}

void AppDelegate::countUnsent(const std::string& key, bool stored) {
    const std::lock_guard lock(unsentKeysMutex_);
    if (stored) {
        unsentKeys_.insert(key);
    } else {
        unsentKeys_.erase(key);
    }
}

} // namespace talverin
