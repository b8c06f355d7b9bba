#pragma once

#include "platform/UrlSession.h"

#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>

class QNetworkAccessManager;
class QNetworkReply;
class QSslCertificate;
class QTimer;
class QUrl;

namespace talverin {

// Lives on the delivery thread and does every transfer of the URL session there: it owns the
// network access manager and the transfers in flight, and runs each completion once, on that
// thread.
class DeliveryWorker final : public QObject {
    Q_OBJECT

public:
    // Answer bodies are cut to this size: once more arrives, the transfer ends with its status and
    // the part read. Reading the rest only to throw it away kept every byte of a fast answer
    // passing through Qt's HTTP thread, which reads ahead of this worker without a limit, and an
    // answer that never ended held its stamp, and a quit waiting for it, until the time-out.
    static constexpr qint64 maximumBodyBytes = 1024 * 1024;
    // Transfers handed to Qt at once; the rest wait here. Qt keeps a reply object and its buffers
    // for every request it is given, although it sends at most six at a time to one host, so a
    // resend of thousands of records cost a quarter of a gigabyte for nothing.
    static constexpr std::size_t maximumTransfersInFlight = 32;

    explicit DeliveryWorker(QList<QSslCertificate> extraCaCertificates);
    ~DeliveryWorker() override;

    // Both run on the delivery thread: the first before any transfer, the second at the end.
    void setUp();
    // Abandons every transfer in flight without calling its completion: the process is ending.
    void shutDown();

    void start(const HttpRequest& request, TransferCompletion completion);
    // Connects to the origin's host and port, with this worker's TLS settings for https, and
    // keeps the connection for the transfers that follow.
    void preconnect(const QUrl& origin);

private:
    using Clock = std::chrono::steady_clock;

    // A transfer not yet handed to Qt. Its time-out counts from when it was asked for, as it
    // would inside Qt, so a stamp waiting behind a backlog fails no later than before.
    struct WaitingTransfer {
        QNetworkRequest request;
        QByteArray method;
        TransferCompletion completion;
        Clock::time_point deadline;
    };

    struct Transfer {
        TransferCompletion completion;
        QByteArray body;
        bool cut = false; // ended on purpose after maximumBodyBytes
    };

    void startWaiting();
    void send(WaitingTransfer waiting, std::chrono::milliseconds timeout);
    void expireWaiting();
    void armExpiry(Clock::time_point at);
    void readBody(QNetworkReply* reply);
    void finish(QNetworkReply* reply);

    QList<QSslCertificate> extraCaCertificates_;
    // Made in setUp: even an empty configuration loads and starts OpenSSL, which the thread that
    // makes the worker should not wait for.
    std::optional<QSslConfiguration> tls_;
    std::unique_ptr<QNetworkAccessManager> manager_;
    std::unordered_map<QNetworkReply*, Transfer> transfers_;
    std::deque<WaitingTransfer> waiting_;
    std::unique_ptr<QTimer> expiry_; // ends waiting transfers whose time is up
    Clock::time_point expiryAt_;
    bool startingWaiting_ = false;
};

} // namespace talverin
