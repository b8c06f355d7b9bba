#pragma once

#include "platform/UrlSession.h"

#include <QList>
#include <QObject>
#include <QSslConfiguration>

#include <memory>
#include <unordered_map>

class QNetworkAccessManager;
class QNetworkReply;
class QSslCertificate;

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

    explicit DeliveryWorker(QList<QSslCertificate> extraCaCertificates);
    ~DeliveryWorker() override;

    // Both run on the delivery thread: the first before any transfer, the second at the end.
    void setUp();
    // Abandons every transfer in flight without calling its completion: the process is ending.
    void shutDown();

    void start(const HttpRequest& request, TransferCompletion completion);

private:
    struct Transfer {
        TransferCompletion completion;
        QByteArray body;
        bool cut = false; // ended on purpose after maximumBodyBytes
    };

    void readBody(QNetworkReply* reply);
    void finish(QNetworkReply* reply);

    QList<QSslCertificate> extraCaCertificates_;
    QSslConfiguration tls_;
    std::unique_ptr<QNetworkAccessManager> manager_;
    std::unordered_map<QNetworkReply*, Transfer> transfers_;
};

} // namespace talverin
