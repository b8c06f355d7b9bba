#include "app/AppDelegate.h"

namespace talverin {

void AppDelegate::screenLocked(bool locked) {
    stampChange(presence_.screenLocked(locked));
}

void AppDelegate::sleeping(bool asleep) {
    const std::uint64_t stamp = stampChange(presence_.sleeping(asleep));
    if (asleep) {
        holdFor(Hold::sleep, stamp);
        return;
    }
    dropHold(Hold::sleep);
    // Awake again: stored stamps go out once the network is back, which it may be already.
    if (platform_.systemEvents.isNetworkReachable().value_or(false)) {
        networkBack();
    }
}

void AppDelegate::sessionEnding(bool ending) {
    const std::uint64_t stamp = stampChange(presence_.sessionEnding(ending));
    if (ending) {
        holdFor(Hold::sessionEnd, stamp);
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

std::uint64_t AppDelegate::stampChange(Presence::Change change) {
    switch (change) {
    case Presence::Change::began:
        arriveWithUnSentKey("", [] {});
        return 0;
    case Presence::Change::ended:
        endingStamp_ = sendStamp(
            StampKind::leaving, "", [] {}, true);
        return endingStamp_;
    case Presence::Change::none:
        break;
    }
    return 0;
}

void AppDelegate::holdFor(Hold hold, std::uint64_t stamp) {
    const std::uint64_t awaited = stamp == 0 ? endingStamp_ : stamp;
    if (awaited == 0) {
        platform_.systemEvents.release(hold);
        heldFor_.erase(hold);
        return;
    }
    heldFor_[hold] = awaited;
}

void AppDelegate::settleLeaving(std::uint64_t stamp) {
    if (endingStamp_ == stamp) {
        endingStamp_ = 0;
    }
    for (auto held = heldFor_.begin(); held != heldFor_.end();) {
        if (held->second == stamp) {
            platform_.systemEvents.release(held->first);
            held = heldFor_.erase(held);
        } else {
            ++held;
        }
    }
}

} // namespace talverin
