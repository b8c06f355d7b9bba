#include "app/AppDelegate.h"

#include "log/Utf8.h"
#include "stamp/TransferErrorText.h"

namespace talverin {

namespace {

bool isDelivered(const TransferResult& result) {
    return result.body && result.response && result.response->isHttp && !result.error;
}

} // namespace

void AppDelegate::handleArrivalResult(const TransferResult& result, const std::string& effectiveKey,
                                      const Completion& completion, const std::string& callerKey) {
    const StampKindTraits& traits = traitsOf(StampKind::arrival);
    if (!isDelivered(result)) {
        platform_.mainQueue.async(
            [this, line = traits.notDeliveredLogPrefix + describeOptionalError(result.error)] {
                writeLog(line);
            });
        return;
    }
    if (!isAcceptedStatus(StampKind::arrival, result.response->statusCode)) {
        platform_.mainQueue.async([this, prefix = traits.refusalLogPrefix, body = *result.body] {
            writeLog(prefix + decodeUtf8Lossy(body));
        });
        return;
    }
    printLine(traits.label);
    removeUnsent(effectiveKey);
    // The record is gone before the body is looked at, so an odd answer cannot keep it.
    const std::string text = decodeUtf8Lossy(*result.body);
    writeLog(traits.successLogPrefix + text);
    if (completion) {
        platform_.mainQueue.async(completion);
    }
    printLine(text);
    // Only a fresh arrival looks for older stamps; a resend never starts another scan.
    if (callerKey.empty()) {
        printUnsent();
    }
}

void AppDelegate::handleLeavingResult(const TransferResult& result, const std::string& effectiveKey,
                                      const Completion& completion) {
    const StampKindTraits& traits = traitsOf(StampKind::leaving);
    if (!isDelivered(result)) {
        platform_.mainQueue.async(
            [this, line = traits.notDeliveredLogPrefix + describeOptionalError(result.error)] {
                writeLog(line);
            });
        platform_.mainQueue.async([this] { terminateIfLocked(); });
        return;
    }
    if (!isAcceptedStatus(StampKind::leaving, result.response->statusCode)) {
        platform_.mainQueue.async([this, prefix = traits.refusalLogPrefix, body = *result.body] {
            writeLog(prefix + decodeUtf8Lossy(body));
        });
        platform_.mainQueue.async([this] { terminateIfLocked(); });
        return;
    }
    printLine(traits.label);
    removeUnsent(effectiveKey);
    const std::string text = decodeUtf8Lossy(*result.body);
    writeLog(traits.successLogPrefix + text);
    if (completion) {
        platform_.mainQueue.async(completion);
    }
    platform_.mainQueue.async([this] { terminateIfLocked(); });
    printLine(text);
}

} // namespace talverin
