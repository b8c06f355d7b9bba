#include "app/AppDelegate.h"

#include <limits>

namespace talverin {

namespace {

// waitUseconds + d² seconds, held at the top of the 32-bit range instead of wrapping round to a
// short wait.
std::uint32_t nextWait(std::uint32_t waitUseconds, std::int64_t maxTimes,
                       std::int64_t remainingTimes) {
    constexpr std::uint64_t ceiling = std::numeric_limits<std::uint32_t>::max();
    const std::int64_t difference = maxTimes - remainingTimes;
    const std::uint64_t d = static_cast<std::uint64_t>(difference < 0 ? -difference : difference);
    if (d > 65535) {
        return static_cast<std::uint32_t>(ceiling);
    }
    const std::uint64_t total = waitUseconds + d * d * 1000000u;
    return static_cast<std::uint32_t>(total > ceiling ? ceiling : total);
}

} // namespace

void AppDelegate::completeOrRetry(const TransferResult& result, std::int64_t remainingTimes,
                                  FailureReporter failureReporter, std::string label,
                                  std::uint32_t waitUseconds, std::int64_t maxTimes,
                                  UrlSession& session, HttpRequest request,
                                  ResultHandler resultHandler) {
    if (!result.error || remainingTimes <= 0) {
        resultHandler(result);
        return;
    }
    failureReporter(label, remainingTimes, result.error);
    platform_.sleeper.sleepMicroseconds(waitUseconds);
    const std::uint32_t next = nextWait(waitUseconds, maxTimes, remainingTimes);
    session.dataTask(request, [this, remainingTimes, failureReporter, label, next, maxTimes,
                               &session, request, resultHandler](TransferResult retried) {
        completeOrRetry(retried, remainingTimes - 1, failureReporter, label, next, maxTimes,
                        session, request, resultHandler);
    });
}

void AppDelegate::logSendFailure(const std::string& label, std::int64_t remainingTimes,
                                 const std::optional<TransferError>& error) {
    writeLog(label + "のサーバーへの送信失敗.送信回数:" + std::to_string(remainingTimes) + "/" +
             std::to_string(numberOfTimes));
    writeLog(error ? error->text : std::string());
}

} // namespace talverin
