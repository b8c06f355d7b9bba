#include "platform/linux/GnomeSessionClient.h"

#include "platform/Application.h"
#include "platform/linux/LinuxSystemEvents.h"

#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

namespace talverin {

namespace {

const QString managerService = QStringLiteral("org.gnome.SessionManager");
const QString managerPath = QStringLiteral("/org/gnome/SessionManager");
const QString clientInterface = QStringLiteral("org.gnome.SessionManager.ClientPrivate");
const QString appId = QStringLiteral("com.talverin.Timestamp");
// A manager that has not answered by then is not there; start-up never waits for it anyway.
constexpr int registerTimeoutMs = 10000;

// Copies only, so that an answer let go after this client is gone (the hold outlives a quit)
// still reaches the manager.
void sendEndSessionResponse(QDBusConnection bus, const QString& clientPath) {
    QDBusMessage response = QDBusMessage::createMethodCall(
        managerService, clientPath, clientInterface, QStringLiteral("EndSessionResponse"));
    response << true << QString();
    bus.send(response);
}

} // namespace

GnomeSessionClient::GnomeSessionClient(QDBusConnection sessionBus, QString startupId,
                                       LinuxSystemEvents& events, Application& application)
    : sessionBus_(std::move(sessionBus)), startupId_(std::move(startupId)), events_(events),
      application_(application) {}

void GnomeSessionClient::registerClient() {
    if (!sessionBus_.isConnected()) {
        return;
    }
    // The manager sends these to every client at once, each on its own path, and any other
    // client of the bus could send them too: only the manager's own, on this client's path,
    // count. Subscribed before registering, so that none sent right after the answer is missed.
    const std::pair<const char*, const char*> signalSlots[] = {
        {"QueryEndSession", SLOT(onQueryEndSession(uint, QDBusMessage))},
        {"EndSession", SLOT(onEndSession(uint, QDBusMessage))},
        {"CancelEndSession", SLOT(onCancelEndSession(QDBusMessage))},
        {"Stop", SLOT(onStop(QDBusMessage))},
    };
    for (const auto& [name, slot] : signalSlots) {
        sessionBus_.connect(managerService, QString(), clientInterface, QString::fromLatin1(name),
                            this, slot);
    }
    registerWith(startupId_);
}

void GnomeSessionClient::registerWith(const QString& startupId) {
    QDBusMessage call = QDBusMessage::createMethodCall(managerService, managerPath, managerService,
                                                       QStringLiteral("RegisterClient"));
    call << appId << startupId;
    call.setAutoStartService(false); // a desktop without it must not get one started
    auto* watcher =
        new QDBusPendingCallWatcher(sessionBus_.asyncCall(call, registerTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, startupId](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *finished;
                if (!reply.isError()) {
                    clientPath_ = reply.value().path();
                    Q_EMIT registered();
                    return;
                }
                // The manager takes one client per startup id: when the agent's X session
                // management took it first, this client registers without it.
                if (!startupId.isEmpty() &&
                    reply.error().name() ==
                        QStringLiteral("org.gnome.SessionManager.AlreadyRegistered")) {
                    registerWith(QString());
                }
            });
}

bool GnomeSessionClient::isForThisClient(const QDBusMessage& message) const {
    return !clientPath_.isEmpty() && message.path() == clientPath_;
}

// Only asks whether the session may end; the user can still call it off, so presence goes on.
void GnomeSessionClient::onQueryEndSession(uint, const QDBusMessage& message) {
    if (isForThisClient(message)) {
        sendEndSessionResponse(sessionBus_, clientPath_);
    }
}

void GnomeSessionClient::onEndSession(uint, const QDBusMessage& message) {
    if (!isForThisClient(message)) {
        return;
    }
    events_.reportSessionEnding(
        true, [bus = sessionBus_, path = clientPath_] { sendEndSessionResponse(bus, path); });
}

void GnomeSessionClient::onCancelEndSession(const QDBusMessage& message) {
    if (isForThisClient(message)) {
        events_.reportSessionEnding(false);
    }
}

void GnomeSessionClient::onStop(const QDBusMessage& message) {
    if (isForThisClient(message)) {
        application_.terminate();
    }
}

} // namespace talverin
