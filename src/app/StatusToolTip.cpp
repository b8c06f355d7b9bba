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
    std::size_t unsent = 0;
    for (const auto& [key, value] : platform_.defaults.dictionaryRepresentation()) {
        unsent += isUnsentKey(key) ? 1u : 0u;
    }
    if (unsent > 0) {
        text += "\n未送信の打刻：" + std::to_string(unsent) + "件";
    }
    statusBarItem->setToolTip(text);
}

} // namespace talverin
