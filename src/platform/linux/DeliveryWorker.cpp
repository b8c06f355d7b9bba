#include "platform/linux/DeliveryWorker.h"

#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace talverin {

namespace {

constexpr double defaultTimeoutSeconds = 60.0;

// RFC 9110 token characters: what a method and a header name may be made of.
bool isToken(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            return false;
        }
        return std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
    });
}

// A control character in a value could end the header and start another one.
bool isSafeValue(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

TransferError refusal(const char* kind, std::string text) {
    return TransferError{kind, 0, std::move(text)};
}

// Why the request must not leave this process, if it must not.
std::optional<TransferError> refusalOf(const HttpRequest& request, const QUrl& url) {
    if (!isToken(request.method)) {
        return refusal("InvalidMethod", "The request method is not a valid HTTP method.");
    }
    for (const auto& [name, value] : request.headers) {
        if (!isToken(name)) {
            return refusal("InvalidHeaderName", "A request header has an invalid name.");
        }
        if (!isSafeValue(value)) {
            return refusal("InvalidHeaderValue", "The value of the request header " + name +
                                                     " contains a control character.");
        }
    }
    if (!url.isValid()) {
        return refusal("InvalidUrl", "The URL is not valid: " + url.errorString().toStdString());
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != u"https" && scheme != u"http") {
        return TransferError{"ProtocolUnknownError", QNetworkReply::ProtocolUnknownError,
                             "Protocol \"" + scheme.toStdString() + "\" is unknown"};
    }
    return std::nullopt;
}

int timeoutMilliseconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0.0) {
        seconds = defaultTimeoutSeconds;
    }
    const double milliseconds = std::ceil(seconds * 1000.0);
    if (milliseconds >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    return std::max(1, static_cast<int>(milliseconds));
}

// The errors Qt derives from an HTTP status. They report the service's answer, not a failed
// transfer, so such a reply is an HTTP response like any other.
bool isStatusError(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::ContentOperationNotPermittedError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::ContentConflictError:
    case QNetworkReply::ContentGoneError:
    case QNetworkReply::UnknownContentError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::OperationNotImplementedError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
    case QNetworkReply::ProtocolUnknownError:
        return true;
    default:
        return false;
    }
}

TransferError timeoutError() {
    return TransferError{"TimeoutError", QNetworkReply::TimeoutError, "The request timed out."};
}

TransferError transferErrorOf(const QNetworkReply& reply) {
    // Replies are only aborted when the session ends, without a completion, so a cancelled
    // transfer is one that the transfer timeout stopped.
    if (reply.error() == QNetworkReply::OperationCanceledError) {
        return timeoutError();
    }
    const char* kind = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply.error());
    return TransferError{kind != nullptr ? kind : "UnknownNetworkError", reply.error(),
                         reply.errorString().toStdString()};
}

QNetworkRequest networkRequestOf(const HttpRequest& request, const QUrl& url,
                                 const QSslConfiguration& tls) {
    QNetworkRequest networkRequest(url);
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                QNetworkRequest::ManualRedirectPolicy);
    networkRequest.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // The protocol's own caching rules; the manager has no cache, so every stamp hits the network.
    networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                QNetworkRequest::PreferNetwork);
    networkRequest.setSslConfiguration(tls);
    for (const auto& [name, value] : request.headers) {
        const QByteArray rawName = QByteArray::fromStdString(name);
        QByteArray rawValue = QByteArray::fromStdString(value);
        // A header added twice carries both values, comma-separated, as HTTP defines it.
        if (networkRequest.hasRawHeader(rawName)) {
            rawValue = networkRequest.rawHeader(rawName) + ',' + rawValue;
        }
        networkRequest.setRawHeader(rawName, rawValue);
    }
    return networkRequest;
}

} // namespace

DeliveryWorker::DeliveryWorker(QList<QSslCertificate> extraCaCertificates)
    : extraCaCertificates_(std::move(extraCaCertificates)) {}

DeliveryWorker::~DeliveryWorker() = default;

void DeliveryWorker::setUp() {
    tls_ = QSslConfiguration::defaultConfiguration();
    tls_->setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!extraCaCertificates_.isEmpty()) {
        // The system's certificates are named explicitly: an added list must not replace them.
        tls_->setCaCertificates(QSslConfiguration::systemCaCertificates() + extraCaCertificates_);
    }
    manager_ = std::make_unique<QNetworkAccessManager>();
    manager_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    expiry_ = std::make_unique<QTimer>();
    expiry_->setSingleShot(true);
    expiry_->setTimerType(Qt::PreciseTimer);
    connect(expiry_.get(), &QTimer::timeout, this, [this] { expireWaiting(); });
}

void DeliveryWorker::shutDown() {
    for (auto& [reply, transfer] : transfers_) {
        reply->disconnect(this);
        reply->abort();
        delete reply;
    }
    transfers_.clear();
    waiting_.clear();
    expiry_.reset();
    manager_.reset();
}

void DeliveryWorker::preconnect(const QUrl& origin) {
    if (!manager_ || !origin.isValid() || origin.host().isEmpty()) {
        return;
    }
    const QString scheme = origin.scheme().toLower();
    // The TLS settings every request carries; they name no HTTP/2, so the connection is of the
    // HTTP/1.1 kind the requests ask for, and they use it.
    if (scheme == u"https") {
        manager_->connectToHostEncrypted(origin.host(), static_cast<quint16>(origin.port(443)),
                                         *tls_);
    } else if (scheme == u"http") {
        manager_->connectToHost(origin.host(), static_cast<quint16>(origin.port(80)));
    }
}

void DeliveryWorker::start(const HttpRequest& request, TransferCompletion completion) {
    if (!manager_) {
        return; // the session is ending; nobody is waiting for an answer any more
    }
    const QUrl url(QString::fromStdString(request.url), QUrl::StrictMode);
    if (const auto refused = refusalOf(request, url)) {
        TransferResult result;
        result.error = *refused;
        completion(std::move(result));
        return;
    }

    const std::chrono::milliseconds timeout(timeoutMilliseconds(request.timeoutSeconds));
    WaitingTransfer transfer{networkRequestOf(request, url, *tls_),
                             QByteArray::fromStdString(request.method), std::move(completion),
                             Clock::now() + timeout};
    if (waiting_.empty() && transfers_.size() < maximumTransfersInFlight) {
        send(std::move(transfer), timeout);
        return;
    }
    if (!expiry_->isActive() || transfer.deadline < expiryAt_) {
        armExpiry(transfer.deadline);
    }
    waiting_.push_back(std::move(transfer));
}

void DeliveryWorker::send(WaitingTransfer transfer, std::chrono::milliseconds timeout) {
    // Never above the int range: it is at most the time-out first asked for.
    transfer.request.setTransferTimeout(static_cast<int>(timeout.count()));
    // Sent by its verb, with an empty upload: Content-Length: 0. post() would add a Content-Type
    // that the request never asked for.
    QNetworkReply* reply =
        manager_->sendCustomRequest(transfer.request, transfer.method, QByteArray());
    transfers_.emplace(reply, Transfer{std::move(transfer.completion), QByteArray()});
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { readBody(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
    if (reply->isFinished()) {
        finish(reply);
    }
}

void DeliveryWorker::startWaiting() {
    // A completion or a transfer that ends at once comes back here; the loop already running
    // carries on, so the stack stays flat however long the queue.
    if (startingWaiting_) {
        return;
    }
    startingWaiting_ = true;
    while (manager_ && !waiting_.empty() && transfers_.size() < maximumTransfersInFlight) {
        WaitingTransfer next = std::move(waiting_.front());
        waiting_.pop_front();
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(next.deadline - Clock::now());
        if (left.count() <= 0) {
            next.completion(TransferResult{std::nullopt, std::nullopt, timeoutError()});
            continue;
        }
        send(std::move(next), left);
    }
    startingWaiting_ = false;
    if (waiting_.empty() && expiry_) {
        expiry_->stop();
    }
}

void DeliveryWorker::expireWaiting() {
    const Clock::time_point now = Clock::now();
    std::vector<TransferCompletion> expired;
    std::deque<WaitingTransfer> kept;
    for (WaitingTransfer& transfer : waiting_) {
        if (transfer.deadline <= now) {
            expired.push_back(std::move(transfer.completion));
        } else {
            kept.push_back(std::move(transfer));
        }
    }
    waiting_ = std::move(kept);
    if (!waiting_.empty()) {
        armExpiry(std::min_element(waiting_.begin(), waiting_.end(),
                                   [](const WaitingTransfer& a, const WaitingTransfer& b) {
                                       return a.deadline < b.deadline;
                                   })
                      ->deadline);
    }
    // Last, as a completion may ask for another transfer.
    for (TransferCompletion& completion : expired) {
        completion(TransferResult{std::nullopt, std::nullopt, timeoutError()});
    }
}

void DeliveryWorker::armExpiry(Clock::time_point at) {
    expiryAt_ = at;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now());
    expiry_->start(std::max(wait, std::chrono::milliseconds(0)));
}

void DeliveryWorker::readBody(QNetworkReply* reply) {
    const auto found = transfers_.find(reply);
    if (found == transfers_.end()) {
        return;
    }
    Transfer& transfer = found->second;
    const qint64 room = maximumBodyBytes - transfer.body.size();
    if (room > 0) {
        transfer.body += reply->read(std::min(room, reply->bytesAvailable()));
    }
    if (reply->bytesAvailable() > 0 && !transfer.cut) {
        transfer.cut = true;
        // May finish the transfer at once, which ends the entry: nothing of it is used after.
        reply->abort();
    }
}

void DeliveryWorker::finish(QNetworkReply* reply) {
    readBody(reply);
    const auto found = transfers_.find(reply);
    if (found == transfers_.end()) {
        return;
    }
    Transfer transfer = std::move(found->second);
    transfers_.erase(found);

    TransferResult result;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        result.response = HttpResponse{true, status.toInt()};
    }
    const QNetworkReply::NetworkError error = reply->error();
    // A cut answer was aborted here, after its status and the first part of its body had come.
    const bool cut = transfer.cut && status.isValid();
    if (error == QNetworkReply::NoError || cut || (status.isValid() && isStatusError(error))) {
        result.body = transfer.body.toStdString();
    } else {
        result.error = transferErrorOf(*reply);
    }
    reply->disconnect(this);
    reply->deleteLater();
    transfer.completion(std::move(result));
    startWaiting();
}

} // namespace talverin
