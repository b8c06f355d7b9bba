#include "platform/linux/LinuxSystemEvents.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QNetworkInformation>

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

int milliseconds(std::chrono::milliseconds duration) {
    return static_cast<int>(duration.count());
}

bool isTimeout(const QDBusMessage& reply) {
    const QDBusError::ErrorType type = QDBusError(reply).type();
    return type == QDBusError::NoReply || type == QDBusError::Timeout;
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
    : systemBus_(std::move(systemBus)), sessionBus_(std::move(sessionBus)), options_(options),
      powerOffInhibitor_(systemBus_, QStringLiteral("shutdown"),
                         QStringLiteral("Sending the end-of-work stamp before power-off"),
                         options.inhibitorReleaseDelay, options.logindCallTimeout),
      sleepInhibitor_(systemBus_, QStringLiteral("sleep"),
                      QStringLiteral("Sending the end-of-work stamp before sleep"),
                      options.inhibitorReleaseDelay, options.logindCallTimeout) {
    sessionEndTimer_.setSingleShot(true);
    sessionEndTimer_.setInterval(options.inhibitorReleaseDelay);
    connect(&sessionEndTimer_, &QTimer::timeout, this, &LinuxSystemEvents::answerSessionEnd);
    if (systemBus_.isConnected()) {
        systemBus_.connect(login1Service, managerPath, managerInterface,
                           QStringLiteral("PrepareForShutdown"), this,
                           SLOT(onPrepareForShutdown(bool)));
        systemBus_.connect(login1Service, managerPath, managerInterface,
                           QStringLiteral("PrepareForSleep"), this, SLOT(onPrepareForSleep(bool)));
        const QString sessionPath = resolveSessionPath();
        if (!sessionPath.isEmpty()) {
            watchSession(sessionPath);
        }
    }
    watchScreenSavers();
    watchNetwork();
}

void LinuxSystemEvents::observe(SystemEventObservers observers) {
    observers_ = std::move(observers);
    observed_ = true;
    const auto call = [this](const QDBusMessage& message) { return callLogind(message); };
    powerOffInhibitor_.take(call);
    sleepInhibitor_.take(call);
}

std::optional<bool> LinuxSystemEvents::isNetworkReachable() {
    const QNetworkInformation* network = QNetworkInformation::instance();
    if (network == nullptr) {
        return std::nullopt;
    }
    return network->reachability() == QNetworkInformation::Reachability::Online;
}

// Only while the event it was taken for is under way: afterwards the inhibitor already held is
// the one for the next event.
void LinuxSystemEvents::release(Hold hold) {
    switch (hold) {
    case Hold::sleep:
        if (asleep_) {
            sleepInhibitor_.release();
        }
        break;
    case Hold::powerOff:
        if (powerOffUnderWay_) {
            powerOffInhibitor_.release();
        }
        break;
    case Hold::sessionEnd:
        answerSessionEnd();
        break;
    }
}

void LinuxSystemEvents::reportSessionEnding(bool ending, std::function<void()> answer) {
    if (ending && answer) {
        sessionEndAnswers_.push_back(std::move(answer));
        if (!sessionEndTimer_.isActive()) {
            sessionEndTimer_.start();
        }
    }
    if (observers_.sessionEnding) {
        observers_.sessionEnding(ending);
    }
}

void LinuxSystemEvents::answerSessionEnd() {
    sessionEndTimer_.stop();
    for (const std::function<void()>& answer : std::exchange(sessionEndAnswers_, {})) {
        answer();
    }
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
                       SLOT(onSessionPropertiesChanged(QString, QVariantMap)));
    const QDBusMessage reply = callLogind(lockedHintCall(sessionPath_));
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const QVariant value =
            qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant();
        lockedAtStart_ = boolValue(value).value_or(false);
    }
}

void LinuxSystemEvents::watchScreenSavers() {
    if (!sessionBus_.isConnected()) {
        return;
    }
    for (const QString& interfaceName : screenSaverInterfaces) {
        // Each screensaver's well-known name is its interface's name. Naming it here makes the bus
        // deliver only what its current owner sends: any other client of the session bus could
        // otherwise stamp an arrival for someone who is away.
        sessionBus_.connect(interfaceName, QString(), interfaceName,
                            QStringLiteral("ActiveChanged"), this,
                            SLOT(onScreenSaverActiveChanged(bool)));
    }
}

// logind announces LockedHint with its value, never as merely invalidated.
void LinuxSystemEvents::onSessionPropertiesChanged(const QString& interfaceName,
                                                   const QVariantMap& changed) {
    if (interfaceName != sessionInterface) {
        return;
    }
    const auto value = changed.constFind(lockedHintProperty);
    if (value != changed.constEnd()) {
        if (const std::optional<bool> locked = boolValue(*value)) {
            reportScreenLocked(*locked);
        }
    }
}

void LinuxSystemEvents::onScreenSaverActiveChanged(bool active) {
    reportScreenLocked(active);
}

void LinuxSystemEvents::reportScreenLocked(bool locked) {
    if (observers_.screenLocked) {
        observers_.screenLocked(locked);
    }
}

void LinuxSystemEvents::onPrepareForShutdown(bool starting) {
    if (!observed_) {
        return;
    }
    powerOffUnderWay_ = starting;
    if (starting) {
        powerOffInhibitor_.begin();
    } else {
        powerOffInhibitor_.takeLater(); // called off: be ready for the next one
    }
    if (observers_.powerOff) {
        observers_.powerOff(starting);
    }
}

void LinuxSystemEvents::onPrepareForSleep(bool starting) {
    if (!observed_) {
        return;
    }
    asleep_ = starting;
    if (starting) {
        sleepInhibitor_.begin();
    } else {
        sleepInhibitor_.takeLater();
    }
    if (observers_.sleeping) {
        observers_.sleeping(starting);
    }
}

// Reachability is the system's own: NetworkManager's, or GLib's network monitor. Each turn to
// online is reported once.
void LinuxSystemEvents::watchNetwork() {
    if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        return;
    }
    const QNetworkInformation* network = QNetworkInformation::instance();
    networkOnline_ = network->reachability() == QNetworkInformation::Reachability::Online;
    connect(network, &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability reachability) {
                const bool online = reachability == QNetworkInformation::Reachability::Online;
                const bool back = online && !networkOnline_;
                networkOnline_ = online;
                if (back && observers_.networkBack) {
                    observers_.networkBack();
                }
            });
}

} // namespace talverin
