#include "platform/linux/DelayInhibitor.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace talverin {

DelayInhibitor::DelayInhibitor(QDBusConnection systemBus, QString what, QString why,
                               std::chrono::milliseconds hold,
                               std::chrono::milliseconds callTimeout)
    : systemBus_(std::move(systemBus)), what_(std::move(what)), why_(std::move(why)),
      callTimeout_(callTimeout) {
    releaseTimer_.setSingleShot(true);
    releaseTimer_.setInterval(hold);
    connect(&releaseTimer_, &QTimer::timeout, this, &DelayInhibitor::release);
}

QDBusMessage DelayInhibitor::inhibitCall() const {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << what_ << QStringLiteral("TALVERIN Timestamp") << why_ << QStringLiteral("delay");
    return call;
}

void DelayInhibitor::take(const std::function<QDBusMessage(const QDBusMessage&)>& blockingCall) {
    if (isHeld()) {
        return;
    }
    const QDBusMessage reply = blockingCall(inhibitCall());
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        keep(qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst()));
    }
}

void DelayInhibitor::takeLater() {
    releaseTimer_.stop();
    if (isHeld() || pendingGeneration_ == generation_ || !systemBus_.isConnected()) {
        return;
    }
    const unsigned generation = generation_;
    pendingGeneration_ = generation;
    auto* watcher = new QDBusPendingCallWatcher(
        systemBus_.asyncCall(inhibitCall(), static_cast<int>(callTimeout_.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (pendingGeneration_ == generation) {
                    pendingGeneration_.reset();
                }
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
                if (!reply.isError() && generation == generation_ && !isHeld()) {
                    keep(reply.value());
                } // otherwise the descriptor, if any, closes with the reply
            });
}

void DelayInhibitor::begin() {
    // An inhibitor that arrives from now on would hold an event already under way.
    ++generation_;
    if (isHeld() && !releaseTimer_.isActive()) {
        releaseTimer_.start();
    }
}

void DelayInhibitor::release() {
    releaseTimer_.stop();
    // A request still on its way belongs to the hold just given up.
    ++generation_;
    descriptor_ = QDBusUnixFileDescriptor();
}

void DelayInhibitor::keep(QDBusUnixFileDescriptor received) {
    if (received.isValid()) {
        // Our own object holds the only copy, so that releasing it really closes the descriptor.
        descriptor_.giveFileDescriptor(received.takeFileDescriptor());
    }
}

} // namespace talverin
