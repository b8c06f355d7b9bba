#include "app/AppDelegate.h"

namespace talverin {

void AppDelegate::screenLocked(bool locked) {
    stampChange(presence_.screenLocked(locked));
}

void AppDelegate::sleeping(bool asleep) {
    const std::string key = stampChange(presence_.sleeping(asleep));
    if (asleep) {
        holdFor(Hold::sleep, key);
        return;
    }
    dropHold(Hold::sleep);
    // Awake again: stored stamps go out once the network is back, which it may be already.
    if (platform_.systemEvents.isNetworkReachable().value_or(false)) {
        networkBack();
    }
}

void AppDelegate::sessionEnding(bool ending) {
    const std::string key = stampChange(presence_.sessionEnding(ending));
    if (ending) {
        holdFor(Hold::sessionEnd, key);
    } else {
        dropHold(Hold::sessionEnd);
    }
}

void AppDelegate::networkBack() {
    std::size_t waiting = 0;
    for (const auto& [key, value] : platform_.defaults.dictionaryRepresentation()) {
        waiting += isUnsentKey(key) && !isInFlight(key) ? 1u : 0u;
    }
    if (waiting == 0) {
        return;
    }
    writeLog("ネットワークへの接続が回復したため、未送信の打刻を送信します：" +
             std::to_string(waiting) + "件");
    printUnsent();
}

std::string AppDelegate::stampChange(Presence::Change change) {
    switch (change) {
    case Presence::Change::began:
        arriveWithUnSentKey("", [] {});
        return "";
    case Presence::Change::ended:
        endingKey_ = sendStamp(
            StampKind::leaving, "", [] {}, true);
        return endingKey_;
    case Presence::Change::none:
        break;
    }
    return "";
}

void AppDelegate::holdFor(Hold hold, const std::string& key) {
    const std::string awaited = key.empty() ? endingKey_ : key;
    if (awaited.empty()) {
        platform_.systemEvents.release(hold);
        heldFor_.erase(hold);
        return;
    }
    heldFor_[hold] = awaited;
}

void AppDelegate::settleLeaving(const std::string& key) {
    if (endingKey_ == key) {
        endingKey_.clear();
    }
    for (auto held = heldFor_.begin(); held != heldFor_.end();) {
        if (held->second == key) {
            platform_.systemEvents.release(held->first);
            held = heldFor_.erase(held);
        } else {
            ++held;
        }
    }
}

} // namespace talverin
