#include "HttpRequestReader.h"

#include <algorithm>
#include <chrono>

namespace {

bool isTokenChar(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F && QByteArrayView("\"(),/:;<=>?@[\\]{}").indexOf(c) < 0;
}

bool isToken(const QByteArray& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// The lines of a request head, which are ended by CR LF only.
QList<QByteArray> headLines(const QByteArray& head) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (true) {
        const qsizetype end = head.indexOf("\r\n", start);
        if (end < 0) {
            lines.append(head.mid(start));
            return lines;
        }
        lines.append(head.mid(start, end - start));
        start = end + 2;
    }
}

} // namespace

std::optional<ReceivedRequest> HttpRequestReader::refuse(int status, const char* reason) {
    faultStatus_ = status;
    fault_ = reason;
    buffer_.clear();
    return std::nullopt;
}

std::optional<ReceivedRequest> HttpRequestReader::takeRequest() {
    if (faultStatus_ != 0) {
        return std::nullopt;
    }
    // Empty lines between requests are tolerated.
    while (buffer_.startsWith("\r\n")) {
        buffer_.remove(0, 2);
    }
    const qsizetype headEnd = buffer_.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (buffer_.size() > maximumHeadBytes) {
            return refuse(431, "request head too large");
        }
        return std::nullopt;
    }
    if (headEnd > maximumHeadBytes) {
        return refuse(431, "request head too large");
    }

    const QList<QByteArray> lines = headLines(buffer_.left(headEnd));
    for (const QByteArray& line : lines) {
        if (line.contains('\r') || line.contains('\n')) {
            return refuse(400, "bare CR or LF in the request head");
        }
    }
    ReceivedRequest request;
    const QList<QByteArray> requestLine = lines.first().split(' ');
    if (requestLine.size() != 3 || !isToken(requestLine[0]) || requestLine[1].isEmpty() ||
        !requestLine[2].startsWith("HTTP/1.")) {
        return refuse(400, "malformed request line");
    }
    request.method = requestLine[0];
    request.target = requestLine[1];
    request.version = requestLine[2];

    std::optional<qsizetype> contentLength;
    for (qsizetype index = 1; index < lines.size(); ++index) {
        const QByteArray& line = lines[index];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon))) {
            return refuse(400, "malformed header line");
        }
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append(qMakePair(name, value));
        if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            return refuse(501, "transfer codings are not supported");
        }
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool number = false;
            const qsizetype length = value.toLongLong(&number);
            if (!number || length < 0 || (contentLength && *contentLength != length)) {
                return refuse(400, "invalid Content-Length");
            }
            if (length > maximumBodyBytes) {
                return refuse(413, "request body too large");
            }
            contentLength = length;
        }
    }

    const qsizetype bodyStart = headEnd + 4;
    const qsizetype bodyLength = contentLength.value_or(0);
    if (buffer_.size() - bodyStart < bodyLength) {
        return std::nullopt;
    }
    request.body = buffer_.mid(bodyStart, bodyLength);
    buffer_.remove(0, bodyStart + bodyLength);
    const auto now = std::chrono::system_clock::now();
    request.receivedMicroseconds =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    request.received = QDateTime::fromMSecsSinceEpoch(request.receivedMicroseconds / 1000, Qt::UTC);
    return request;
}
