#include "app/AppDelegate.h"

#include "log/Utf8.h"
#include "stamp/TransferErrorText.h"

namespace talverin {

namespace {

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
            });
        return std::nullopt;
    }
    if (!isAcceptedStatus(kind, result.response->statusCode)) {
        platform_.mainQueue.async([this, prefix = traits.refusalLogPrefix, body = *result.body] {
            writeLog(prefix + decodeUtf8Lossy(body));
        });
        return std::nullopt;
    }
    printLine(traits.label);
    removeUnsent(effectiveKey);
    // The record is gone before the body is looked at, so an odd answer cannot keep it.
    std::string text = decodeUtf8Lossy(*result.body);
    writeLog(traits.successLogPrefix + text);
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
    // Whatever the answer, a quit held for a leaving stamp may now go ahead.
    platform_.mainQueue.async([this] { terminateIfLocked(); });
    if (text) {
        printLine(*text);
    }
}

} // namespace talverin
