#include "app/AppDelegate.h"

#include "records/StampTime.h"
#include "stamp/StampUrl.h"

#include <memory>

namespace talverin {

void AppDelegate::arriveWithUnSentKey(const std::string& unSentKey, Completion completion) {
    sendStamp(StampKind::arrival, unSentKey, std::move(completion), unSentKey.empty());
}

void AppDelegate::leaveWithUnSentKey(const std::string& unSentKey, Completion completion) {
    sendStamp(StampKind::leaving, unSentKey, std::move(completion), unSentKey.empty());
}

std::uint64_t AppDelegate::sendStamp(StampKind kind, const std::string& unSentKey,
                                     Completion completion, bool fresh) {
    const StampKindTraits& traits = traitsOf(kind);
    printLine(traits.callLine);

    // A fresh stamp is on disk before anything is sent, so no failure can lose it.
    const std::string effectiveKey = unSentKey.empty() ? setUnset(kind, true) : unSentKey;
    if (!fresh && !startFlight(effectiveKey, false)) {
        return 0; // already on its way; its own outcome settles the record
    }
    const std::uint64_t stamp = fresh ? ++lastStamp_ : 0;
    // Given up before any transfer: the record waits. That is this stamp's outcome, and like any
    // other a leaving one lets what was held for it go ahead: no answer will ever come.
    const auto giveUp = [&](const std::string& line) {
        writeLog(line);
        endFlight(effectiveKey);
        if (kind == StampKind::leaving) {
            settleLeavingLater(stamp);
        }
        return stamp;
    };
    const std::string tim = unsentStampTime(effectiveKey);

    // Only the time of a real moment goes into the URL: a stored value that is anything else
    // (another program's, or a damaged record's) would send another time, or another query.
    const auto url =
        isStampTime(tim) ? makeUrl(apiBase() + traits.pathAndQuery + tim) : std::nullopt;
    if (!url) {
        return giveUp(traits.noUrlText + tim);
    }
    // Without a usable serial the service cannot tell whose stamp it is.
    if (!seirialNumber || !isSafeHeaderValue(*seirialNumber)) {
        return giveUp(std::string(seirialNumber
                                      ? "シリアル番号に使用できない文字が含まれているため、"
                                      : "シリアル番号が未取得のため、") +
                      traits.label + "を送信しませんでした:" + effectiveKey);
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
        handler = [this, effectiveKey, stamp,
                   completion = std::move(completion)](const TransferResult& result) {
            handleLeavingResult(result, effectiveKey, completion);
            // Whatever the answer, what was held for this stamp may now go ahead.
            settleLeavingLater(stamp);
        };
    }
    handler = [this, effectiveKey, settle = std::move(handler)](const TransferResult& result) {
        settle(result);
        endFlight(effectiveKey);
    };
    FailureReporter reporter = [this](const std::string& label, std::int64_t remaining,
                                      const std::optional<TransferError>& error) {
        logSendFailure(label, remaining, error);
    };
    session.dataTask(request, [this, times, reporter, label = std::string(traits.label), wait,
                               &session, request, handler](TransferResult result) {
        completeOrRetry(result, times, reporter, label, wait, times, session, request, handler);
    });
    return stamp;
}

// A fresh stamp always goes out, even when one made in the same second (and so under the same
// key) is still on its way: it is an event of its own, and its completion must run.
bool AppDelegate::startFlight(const std::string& key, bool evenIfUnderWay) {
    const std::lock_guard lock(inFlightMutex_);
    int& transfers = inFlight_[key];
    if (!evenIfUnderWay && transfers > 0) {
        return false;
    }
    ++transfers;
    return true;
}

void AppDelegate::endFlight(const std::string& key) {
    const std::lock_guard lock(inFlightMutex_);
    if (const auto entry = inFlight_.find(key); entry != inFlight_.end() && --entry->second <= 0) {
        inFlight_.erase(entry);
    }
}

bool AppDelegate::sharesItsRecord(const std::string& key) {
    const std::lock_guard lock(inFlightMutex_);
    const auto entry = inFlight_.find(key);
    return entry != inFlight_.end() && entry->second > 1;
}

bool AppDelegate::isInFlight(const std::string& key) {
    const std::lock_guard lock(inFlightMutex_);
    return inFlight_.count(key) != 0;
}

} // namespace talverin
