#include "app/AppDelegate.h"

#include <algorithm>

#include "log/Utf8.h"
#include "records/StampTime.h"
#include "stamp/TransferErrorText.h"

namespace talverin {

namespace {

// An answer is logged whole up to 4 KiB; a longer one would fill the disk a line at a time.
std::string bodyForLog(const std::string& body) {
    constexpr std::size_t longest = 4096;
    if (body.size() <= longest) {
        return decodeUtf8Lossy(body);
    }
    return decodeUtf8Lossy(utf8Prefix(body, longest)) + "…(全" + std::to_string(body.size()) +
           "バイト)";
}

bool isDelivered(const TransferResult& result) {
    return result.body && result.response && result.response->isHttp && !result.error;
}

} // namespace

std::optional<std::string> AppDelegate::settleOutcome(StampKind kind, const TransferResult& result,
                                                      const std::string& effectiveKey,
                                                      const Completion& completion) {
    const StampKindTraits& traits = traitsOf(kind);
    if (!isDelivered(result)) {
        platform_.mainQueue.async(
            [this, line = traits.notDeliveredLogPrefix + describeOptionalError(result.error)] {
                writeLog(line);
                refreshToolTipLater();
            });
        return std::nullopt;
    }
    if (!isAcceptedStatus(kind, result.response->statusCode)) {
        platform_.mainQueue.async(
            [this, line = traits.refusalLogPrefix + bodyForLog(*result.body)] {
                writeLog(line);
                refreshToolTipLater();
            });
        return std::nullopt;
    }
    printLine(traits.label);
    // Two stamps of a kind made in the same second share one record: while the other is still on
    // its way, the record is its too, and only its own acceptance may remove it.
    if (!sharesItsRecord(effectiveKey)) {
        removeUnsent(effectiveKey);
    }
    noteAcceptedLater(kind, effectiveKey);
    // The record is gone before the body is looked at, so an odd answer cannot keep it.
    std::string text = decodeUtf8Lossy(*result.body);
    writeLog(traits.successLogPrefix + bodyForLog(*result.body));
    if (completion) {
        platform_.mainQueue.async(completion);
    }
    return text;
}

void AppDelegate::handleArrivalResult(const TransferResult& result, const std::string& effectiveKey,
                                      const Completion& completion, const std::string& callerKey) {
    if (const auto text = settleOutcome(StampKind::arrival, result, effectiveKey, completion)) {
        printLine(*text);
        // Only a fresh arrival looks for older stamps; a resend never starts another scan.
        if (callerKey.empty()) {
            printUnsent();
        }
    }
}

void AppDelegate::handleLeavingResult(const TransferResult& result, const std::string& effectiveKey,
                                      const Completion& completion) {
    const auto text = settleOutcome(StampKind::leaving, result, effectiveKey, completion);
    if (text) {
        printLine(*text);
    }
}

void AppDelegate::settleLeavingLater(std::uint64_t stamp) {
    platform_.mainQueue.async([this, stamp] {
        settleLeaving(stamp);
        terminateIfLocked();
    });
}

void AppDelegate::noteAcceptedLater(StampKind kind, const std::string& key) {
    const std::string label = traitsOf(kind).label;
    const std::string time = key.substr(std::min(key.size(), label.size() + 1));
    platform_.mainQueue.async([this, label, time] {
        // A resend of an older stamp does not hide the newest one.
        if (isStampTime(time) && time >= lastAcceptedTime_) {
            lastAcceptedTime_ = time;
            lastAcceptedLabel_ = label;
        }
        refreshToolTipLater();
    });
}

} // namespace talverin
