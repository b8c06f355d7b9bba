#include "stamp/StampKind.h"

namespace talverin {

namespace {

const StampKindTraits arrivalTraits{
    "開始時の打刻",
    "call 開始時の打刻",
    "stamp/arrival?tim=",
    "Arrival Endpoint: ",
    "サーバーに送信する打刻情報が取得できなかったため、開始時の打刻を実行できませんでした:",
    "開始時の打刻に成功しました:",
    "開始時の打刻に失敗しました:",
    "サーバに接続ができなかったため、開始時の打刻を実行できませんでした:",
};

const StampKindTraits leavingTraits{
    "終了時の打刻",
    "call 終了時の打刻",
    "stamp/leaving?tim=",
    "Leaving Endpoint: ",
    "サーバーに送信する打刻情報が取得できなかったため、終了時の打刻を実行できませんでした:",
    "終了時の打刻に成功しました:",
    "終了時の打刻に失敗しました:",
    "サーバに接続ができなかったため、終了時の打刻を実行できませんでした:",
};

} // namespace

const StampKindTraits& traitsOf(StampKind kind) {
    return kind == StampKind::arrival ? arrivalTraits : leavingTraits;
}

bool isAcceptedStatus(StampKind kind, int statusCode) {
    if (kind == StampKind::arrival) {
        return statusCode == 200;
    }
    return statusCode == 200 || statusCode == 201;
}

bool isUnsentKey(const std::string& key) {
    return key.find(traitsOf(StampKind::arrival).label) != std::string::npos ||
           key.find(traitsOf(StampKind::leaving).label) != std::string::npos;
}

} // namespace talverin
