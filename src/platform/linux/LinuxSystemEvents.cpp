#include "platform/linux/LinuxSystemEvents.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <unistd.h>

namespace talverin {

namespace {

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString lockedHintProperty = QStringLiteral("LockedHint");

// Each desktop announces its lock screen under its own name, at paths of its own choosing (one
// of them on two paths at once), so these are matched by interface and member only.
const QStringList screenSaverInterfaces = {
    QStringLiteral("org.gnome.ScreenSaver"),
    QStringLiteral("org.freedesktop.ScreenSaver"),
    QStringLiteral("org.xfce.ScreenSaver"),
};

const QString inhibitorWho = QStringLiteral("TALVERIN Timestamp");
const QString inhibitorWhy = QStringLiteral("Sending the end-of-work stamp before power-off");

int milliseconds(std::chrono::milliseconds duration) {
    return static_cast<int>(duration.count());
}

bool isTimeout(const QDBusMessage& reply) {
    const QDBusError::ErrorType type = QDBusError(reply).type();
    return type == QDBusError::NoReply || type == QDBusError::Timeout;
}

QDBusMessage inhibitCall() {
    QDBusMessage call = QDBusMessage::createMethodCall(login1Service, managerPath, managerInterface,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("shutdown") << inhibitorWho << inhibitorWhy << QStringLiteral("delay");
    return call;
}

QDBusMessage lockedHintCall(const QString& sessionPath) {
    QDBusMessage call = QDBusMessage::createMethodCall(login1Service, sessionPath,
                                                       propertiesInterface, QStringLiteral("Get"));
    call << sessionInterface << lockedHintProperty;
    return call;
}

std::optional<bool> boolValue(const QVariant& value) {
    if (value.metaType() != QMetaType::fromType<bool>()) {
        return std::nullopt;
    }
    return value.toBool();
}

} // namespace

LinuxSystemEvents::LinuxSystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus,
                                     LinuxSystemEventsOptions options)
    : systemBus_(std::move(systemBus)), sessionBus_(std::move(sessionBus)), options_(options) {
    inhibitorReleaseTimer_.setSingleShot(true);
    inhibitorReleaseTimer_.setInterval(options_.inhibitorReleaseDelay);
    connect(&inhibitorReleaseTimer_, &QTimer::timeout, this,
            &LinuxSystemEvents::releasePowerOffInhibitor);

    if (systemBus_.isConnected()) {
        systemBus_.connect(login1Service, managerPath, managerInterface,
                           QStringLiteral("PrepareForShutdown"), this,
                           SLOT(onPrepareForShutdown(bool)));
        const QString sessionPath = resolveSessionPath();
        if (!sessionPath.isEmpty()) {
            watchSession(sessionPath);
        }
    }
    watchScreenSavers();
}

void LinuxSystemEvents::observeWillPowerOff(std::function<void()> handler) {
    willPowerOffHandler_ = std::move(handler);
    powerOffObserved_ = true;
    if (!powerOffInhibitor_.isValid()) {
        takePowerOffInhibitor();
    }
}

void LinuxSystemEvents::observeScreenLocked(std::function<void()> handler) {
    screenLockedHandler_ = std::move(handler);
}

void LinuxSystemEvents::observeScreenUnlocked(std::function<void()> handler) {
    screenUnlockedHandler_ = std::move(handler);
}

void LinuxSystemEvents::releasePowerOffInhibitor() {
    inhibitorReleaseTimer_.stop();
    // A request still on its way belongs to the hold just given up.
    ++inhibitorGeneration_;
    powerOffInhibitor_ = QDBusUnixFileDescriptor();
}

QDBusMessage LinuxSystemEvents::callLogind(const QDBusMessage& call) {
    if (logindUnresponsive_ || !systemBus_.isConnected()) {
        return {};
    }
    QDBusMessage reply =
        systemBus_.call(call, QDBus::Block, milliseconds(options_.logindCallTimeout));
    if (isTimeout(reply)) {
        logindUnresponsive_ = true;
    }
    return reply;
}

QString LinuxSystemEvents::resolveSessionPath() {
    QList<QDBusMessage> lookups;
    QDBusMessage bySessionName = QDBusMessage::createMethodCall(
        login1Service, managerPath, managerInterface, QStringLiteral("GetSession"));
    bySessionName << QStringLiteral("auto");
    lookups.push_back(bySessionName);

    QDBusMessage byProcess = QDBusMessage::createMethodCall(
        login1Service, managerPath, managerInterface, QStringLiteral("GetSessionByPID"));
    byProcess << static_cast<uint>(::getpid());
    lookups.push_back(byProcess);

    const QString sessionId = qEnvironmentVariable("XDG_SESSION_ID");
    if (!sessionId.isEmpty()) {
        QDBusMessage byEnvironment = QDBusMessage::createMethodCall(
            login1Service, managerPath, managerInterface, QStringLiteral("GetSession"));
        byEnvironment << sessionId;
        lookups.push_back(byEnvironment);
    }

    for (const QDBusMessage& lookup : lookups) {
        const QDBusMessage reply = callLogind(lookup);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            const QString path =
                qvariant_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
            if (!path.isEmpty()) {
                return path;
            }
        }
    }
    return {};
}

void LinuxSystemEvents::watchSession(const QString& sessionPath) {
    sessionPath_ = sessionPath;
    // Subscribe before reading, so that no change falls between the two.
    systemBus_.connect(login1Service, sessionPath_, propertiesInterface,
                       QStringLiteral("PropertiesChanged"), this,
                       SLOT(onSessionPropertiesChanged(QString, QVariantMap, QStringList)));
    const QDBusMessage reply = callLogind(lockedHintCall(sessionPath_));
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const QVariant value =
            qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant();
        screenLocked_ = boolValue(value).value_or(false);
    }
}

void LinuxSystemEvents::readLockedHintLater() {
    auto* watcher =
        new QDBusPendingCallWatcher(systemBus_.asyncCall(lockedHintCall(sessionPath_),
                                                         milliseconds(options_.logindCallTimeout)),
                                    this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusVariant> reply = *finished;
                if (reply.isError()) {
                    return;
                }
                if (const std::optional<bool> locked = boolValue(reply.value().variant())) {
                    reportScreenLocked(*locked);
                }
            });
}

void LinuxSystemEvents::watchScreenSavers() {
    if (!sessionBus_.isConnected()) {
        return;
    }
    for (const QString& interfaceName : screenSaverInterfaces) {
        sessionBus_.connect(QString(), QString(), interfaceName, QStringLiteral("ActiveChanged"),
                            this, SLOT(onScreenSaverActiveChanged(bool)));
    }
}

void LinuxSystemEvents::takePowerOffInhibitor() {
    const QDBusMessage reply = callLogind(inhibitCall());
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return;
    }
    QDBusUnixFileDescriptor received =
        qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    if (received.isValid()) {
        // Our own object holds the only copy, so that releasing it really closes the descriptor.
        powerOffInhibitor_.giveFileDescriptor(received.takeFileDescriptor());
    }
}

void LinuxSystemEvents::takePowerOffInhibitorLater() {
    if (powerOffInhibitor_.isValid() || pendingInhibitorGeneration_ == inhibitorGeneration_) {
        return;
    }
    const unsigned generation = inhibitorGeneration_;
    pendingInhibitorGeneration_ = generation;
    auto* watcher = new QDBusPendingCallWatcher(
        systemBus_.asyncCall(inhibitCall(), milliseconds(options_.logindCallTimeout)), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (pendingInhibitorGeneration_ == generation) {
                    pendingInhibitorGeneration_.reset();
                }
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
                if (reply.isError() || generation != inhibitorGeneration_ ||
                    powerOffInhibitor_.isValid()) {
                    return; // the descriptor, if any, closes with the reply
                }
                QDBusUnixFileDescriptor received = reply.value();
                if (received.isValid()) {
                    powerOffInhibitor_.giveFileDescriptor(received.takeFileDescriptor());
                }
            });
}

void LinuxSystemEvents::onSessionPropertiesChanged(const QString& interfaceName,
                                                   const QVariantMap& changed,
                                                   const QStringList& invalidated) {
    if (interfaceName != sessionInterface) {
        return;
    }
    const auto value = changed.constFind(lockedHintProperty);
    if (value != changed.constEnd()) {
        if (const std::optional<bool> locked = boolValue(*value)) {
            reportScreenLocked(*locked);
        }
    } else if (invalidated.contains(lockedHintProperty)) {
        readLockedHintLater();
    }
}

void LinuxSystemEvents::onScreenSaverActiveChanged(bool active) {
    reportScreenLocked(active);
}

void LinuxSystemEvents::onPrepareForShutdown(bool starting) {
    if (!powerOffObserved_) {
        return;
    }
    if (starting) {
        // An inhibitor that arrives from now on would hold a power-off already under way.
        ++inhibitorGeneration_;
        if (powerOffInhibitor_.isValid() && !inhibitorReleaseTimer_.isActive()) {
            inhibitorReleaseTimer_.start();
        }
        const std::function<void()> handler = willPowerOffHandler_;
        if (handler) {
            handler();
        }
        return;
    }
    // The power-off was called off: be ready for the next one.
    inhibitorReleaseTimer_.stop();
    takePowerOffInhibitorLater();
}

void LinuxSystemEvents::reportScreenLocked(bool locked) {
    if (locked == screenLocked_) {
        return;
    }
    screenLocked_ = locked;
    const std::function<void()> handler = locked ? screenLockedHandler_ : screenUnlockedHandler_;
    if (handler) {
        handler();
    }
}

} // namespace talverin
