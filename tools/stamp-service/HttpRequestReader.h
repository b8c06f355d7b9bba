#pragma once

#include "ReceivedRequest.h"

#include <optional>

// Cuts HTTP/1.1 requests out of the bytes of one connection. Bodies must come with
// Content-Length: the agent's requests always do, and chunked uploads are refused.
class HttpRequestReader {
public:
    static constexpr qsizetype maximumHeadBytes = 64 * 1024;
    static constexpr qsizetype maximumBodyBytes = 1024 * 1024;

    void append(const QByteArray& bytes) { buffer_ += bytes; }
    // The next complete request, or nothing while more bytes are needed or after a fault.
    std::optional<ReceivedRequest> takeRequest();
    // Set once the bytes cannot be a request: the status to answer with, and why.
    int faultStatus() const { return faultStatus_; }
    const QByteArray& fault() const { return fault_; }

private:
    std::optional<ReceivedRequest> refuse(int status, const char* reason);

    QByteArray buffer_;
    int faultStatus_ = 0;
    QByteArray fault_;
};
