#include "HttpConnection.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include <sys/socket.h>

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool hasHeader(const HeaderList& headers, const QByteArray& name) {
    return std::any_of(headers.begin(), headers.end(), [&name](const auto& header) {
        return header.first.compare(name, Qt::CaseInsensitive) == 0;
    });
}

} // namespace

void HttpConnection::acceptPending(QTcpServer& server, const RequestHandler& handler,
                                   QObject* parent, const std::function<int()>& nextNumber) {
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        new HttpConnection(socket, handler, parent, nextNumber ? nextNumber() : 0);
    }
}

HttpConnection::HttpConnection(QTcpSocket* socket, RequestHandler handler, QObject* parent,
                               int number)
    : QObject(parent), socket_(socket), handler_(std::move(handler)), number_(number) {
    socket_->setParent(this);
    connect(socket_, &QTcpSocket::readyRead, this, &HttpConnection::readAvailable);
    connect(socket_, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(socket_, &QTcpSocket::errorOccurred, this, [this] {
        if (socket_->state() != QAbstractSocket::ConnectedState) {
            deleteLater();
        }
    });
    readAvailable();
}

void HttpConnection::readAvailable() {
    reader_.append(socket_->readAll());
    while (auto request = reader_.takeRequest()) {
        waiting_.enqueue(std::move(*request));
    }
    handleNext();
}

void HttpConnection::handleNext() {
    if (busy_ || silent_) {
        return;
    }
    if (!waiting_.isEmpty()) {
        busy_ = true;
        const ReceivedRequest request = waiting_.dequeue();
        closeAfterAnswer_ = request.wantsClose();
        headRequest_ = request.method == "HEAD";
        handler_(*this, request);
        return;
    }
    if (reader_.faultStatus() != 0) {
        busy_ = true;
        closeAfterAnswer_ = true;
        write(reader_.faultStatus(), {{"Content-Type", "text/plain; charset=utf-8"}},
              reader_.fault() + '\n');
    }
}

void HttpConnection::respond(int status, HeaderList headers, QByteArray body,
                             int delayMilliseconds) {
    if (delayMilliseconds <= 0) {
        write(status, headers, body);
        return;
    }
    QTimer::singleShot(delayMilliseconds, this,
                       [this, status, headers = std::move(headers), body = std::move(body)] {
                           write(status, headers, body);
                       });
}

QByteArray HttpConnection::answerBytes(int status, const HeaderList& headers,
                                       const QByteArray& body) const {
    QByteArray answer =
        "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto& [name, value] : headers) {
        answer += name + ": " + value + "\r\n";
    }
    if (!hasHeader(headers, "Content-Length")) {
        answer += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    if (closeAfterAnswer_) {
        answer += "Connection: close\r\n";
    }
    answer += "\r\n";
    if (!headRequest_) {
        answer += body;
    }
    return answer;
}

void HttpConnection::write(int status, const HeaderList& headers, const QByteArray& body) {
    socket_->write(answerBytes(status, headers, body));
    busy_ = false;
    if (closeAfterAnswer_) {
        socket_->disconnectFromHost();
        return;
    }
    handleNext();
}

void HttpConnection::respondPartlyThenReset(int status, HeaderList headers, QByteArray body,
                                            qint64 byteCount, int delayMilliseconds) {
    const QByteArray bytes = answerBytes(status, headers, body).left(byteCount);
    QTimer::singleShot(std::max(delayMilliseconds, 0), this,
                       [this, bytes] { writePartlyThenReset(bytes); });
}

void HttpConnection::writePartlyThenReset(const QByteArray& bytes) {
    socket_->write(bytes);
    socket_->flush();
    // A reset throws away whatever the kernel has not sent yet: give the part time to leave.
    QTimer::singleShot(200, this, [this] { reset(); });
}

void HttpConnection::reset() {
    // A zero linger time makes closing the socket send RST instead of FIN.
    const linger abortive{1, 0};
    setsockopt(static_cast<int>(socket_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
               sizeof abortive);
    socket_->abort();
    deleteLater();
}
