#include "platform/linux/QtUrlSession.h"

#include "platform/linux/DeliveryWorker.h"

#include <QFile>
#include <QSslCertificate>
#include <QUrl>

#include <cstdlib>
#include <iostream>

namespace talverin {

namespace {

QList<QSslCertificate> certificatesIn(const std::optional<std::string>& file) {
    if (!file) {
        return {};
    }
    QList<QSslCertificate> certificates =
        QSslCertificate::fromPath(QString::fromStdString(*file), QSsl::Pem);
    if (certificates.isEmpty()) {
        // Only the system's authorities are trusted then; a service signed by another CA fails
        // its handshake, which the stamp's log records.
        std::cerr << "TALVERIN_CA_FILE: no certificate could be read from " << *file << std::endl;
    }
    return certificates;
}

} // namespace

QtUrlSession::QtUrlSession() : QtUrlSession(caFileFromEnvironment()) {}

QtUrlSession::QtUrlSession(const std::optional<std::string>& extraCaFile)
    : worker_(new DeliveryWorker(certificatesIn(extraCaFile))) {
    thread_.setObjectName(QStringLiteral("delivery"));
    worker_->moveToThread(&thread_);
    thread_.start();
    // The manager must be made on the thread that uses it. Not waited for: reading the system's
    // authorities for an added CA file takes a few hundred milliseconds, which start-up spends on
    // the tray and the store meanwhile; every transfer is queued behind it.
    QMetaObject::invokeMethod(
        worker_, [worker = worker_] { worker->setUp(); }, Qt::QueuedConnection);
}

QtUrlSession::~QtUrlSession() {
    stop();
    // The thread has ended: transfers that were asked for but never started are dropped with the
    // worker's queued events, their completions unrun.
    delete worker_;
}

void QtUrlSession::stop() {
    if (stopped_.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        worker_, [worker = worker_] { worker->shutDown(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

std::optional<std::string> QtUrlSession::caFileFromEnvironment() {
    const char* file = std::getenv("TALVERIN_CA_FILE");
    if (file == nullptr || *file == '\0') {
        return std::nullopt;
    }
    return std::string(file);
}

void QtUrlSession::preconnect(const std::string& origin) {
    if (stopped_) {
        return;
    }
    QMetaObject::invokeMethod(
        worker_,
        [worker = worker_, origin = QUrl(QString::fromStdString(origin), QUrl::StrictMode)] {
            worker->preconnect(origin);
        },
        Qt::QueuedConnection);
}

void QtUrlSession::dataTask(const HttpRequest& request, TransferCompletion completion) {
    if (stopped_) {
        return;
    }
    // Always queued, also from the delivery thread itself: transfers start in the order asked.
    QMetaObject::invokeMethod(
        worker_,
        [worker = worker_, request, completion = std::move(completion)]() mutable {
            worker->start(request, std::move(completion));
        },
        Qt::QueuedConnection);
}

} // namespace talverin
