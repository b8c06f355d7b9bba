#include "app/AppDelegate.h"

#include "stamp/StampUrl.h"

#include <memory>

namespace talverin {

void AppDelegate::arriveWithUnSentKey(const std::string& unSentKey, Completion completion) {
    sendStamp(StampKind::arrival, unSentKey, std::move(completion));
}

void AppDelegate::leaveWithUnSentKey(const std::string& unSentKey, Completion completion) {
    sendStamp(StampKind::leaving, unSentKey, std::move(completion));
}

void AppDelegate::sendStamp(StampKind kind, const std::string& unSentKey, Completion completion) {
    const StampKindTraits& traits = traitsOf(kind);
    printLine(traits.callLine);

    // A fresh stamp is on disk before anything is sent, so no failure can lose it.
    const std::string effectiveKey = unSentKey.empty() ? setUnset(kind) : unSentKey;
    const std::string tim = unsentStampTime(effectiveKey);

    const auto url = makeUrl(apiBase() + traits.pathAndQuery + tim);
    if (!url) {
        writeLog(traits.noUrlText + tim);
        return;
    }
    // Without a usable serial the service cannot tell whose stamp it is; the record waits. That is
    // this leaving stamp's outcome, and like every other it lets a quit held for it go ahead:
    // no answer will ever come to release it.
    if (!seirialNumber || !isSafeHeaderValue(*seirialNumber)) {
        writeLog(std::string(seirialNumber ? "シリアル番号に使用できない文字が含まれているため、"
                                           : "シリアル番号が未取得のため、") +
                 traits.label + "を送信しませんでした:" + effectiveKey);
        if (kind == StampKind::leaving) {
            platform_.mainQueue.async([this] { terminateIfLocked(); });
        }
        return;
    }
    writeLog(traits.endpointPrefix + *url);

    HttpRequest request;
    request.url = *url;
    request.cachePolicy = CachePolicy::UseProtocolCachePolicy;
    request.timeoutSeconds = 60.0;
    request.method = "POST";
    request.headers.emplace_back("X-OSX-NUMBER", *seirialNumber);

    UrlSession& session = platform_.urlSession;
    const std::int64_t times = numberOfTimes;
    const std::uint32_t wait = numberOfWaitUseconds;

    ResultHandler handler;
    if (kind == StampKind::arrival) {
        handler = [this, effectiveKey, completion = std::move(completion),
                   callerKey = unSentKey](const TransferResult& result) {
            handleArrivalResult(result, effectiveKey, completion, callerKey);
        };
    } else {
        handler = [this, effectiveKey,
                   completion = std::move(completion)](const TransferResult& result) {
            handleLeavingResult(result, effectiveKey, completion);
        };
    }
    FailureReporter reporter = [this](const std::string& label, std::int64_t remaining,
                                      const std::optional<TransferError>& error) {
        logSendFailure(label, remaining, error);
    };
    session.dataTask(request, [this, times, reporter, label = std::string(traits.label), wait,
                               &session, request, handler](TransferResult result) {
        completeOrRetry(result, times, reporter, label, wait, times, session, request, handler);
    });
}

} // namespace talverin
