#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace talverin {

enum class CachePolicy { UseProtocolCachePolicy = 0 };

struct HttpRequest {
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    double timeoutSeconds = 60.0;
    CachePolicy cachePolicy = CachePolicy::UseProtocolCachePolicy;
};

struct HttpResponse {
    bool isHttp = true;
    int statusCode = 0;
};

// Why a transfer failed, in stable words: the kind of failure, its code and a readable text.
struct TransferError {
    std::string kind;
    long code = 0;
    std::string text;
};

struct TransferResult {
    std::optional<std::string> body; // raw bytes of the answer, present even when empty
    std::optional<HttpResponse> response;
    std::optional<TransferError> error;
};

using TransferCompletion = std::function<void(TransferResult)>;

// The shared URL session. dataTask starts the transfer and returns at once, from any thread; the
// completion runs once on the delivery queue, the session's own thread.
class UrlSession {
public:
    virtual ~UrlSession() = default;
    virtual void dataTask(const HttpRequest& request, TransferCompletion completion) = 0;
};

} // namespace talverin
