#include "app/AppDelegate.h"

#include "records/DateFormat.h"
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
    if (const auto accepted = parseDate(stampTimePattern, lastAcceptedTime_)) {
        text +=
            "\n最後の打刻：" + lastAcceptedLabel_ + " " + formatDate("yyyy/MM/dd HH:mm", *accepted);
    }
    const std::string arrivalLabel = traitsOf(StampKind::arrival).label;
    const std::string leavingLabel = traitsOf(StampKind::leaving).label;
    std::size_t unsent = 0;
    for (const auto& [key, value] : platform_.defaults.dictionaryRepresentation()) {
        if (key.find(arrivalLabel) != std::string::npos ||
            key.find(leavingLabel) != std::string::npos) {
            ++unsent;
        }
    }
    if (unsent > 0) {
        text += "\n未送信の打刻：" + std::to_string(unsent) + "件";
    }
    statusBarItem->setToolTip(text);
}

} // namespace talverin
