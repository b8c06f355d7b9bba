#pragma once

#include "platform/SystemEvents.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

namespace talverin {

struct LinuxSystemEventsOptions {
    // How long the power-off inhibitor outlives the announcement when the agent has not ended
    // by then. Well below logind's usual 5 s cap, so the delay is ours to end, not logind's.
    std::chrono::milliseconds inhibitorReleaseDelay{4000};
    // Bound for each call to logind made while starting up or taking the inhibitor.
    std::chrono::milliseconds logindCallTimeout{1500};
};

// Screen lock and unlock from logind's LockedHint and the desktops' screensavers, and power-off
// from logind's PrepareForShutdown, held back by a delay inhibitor until the agent has had its
// chance to send the leaving stamp. Lives on the main thread; so do the handlers it calls.
class LinuxSystemEvents final : public QObject, public SystemEvents {
    Q_OBJECT
public:
    LinuxSystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus,
                      LinuxSystemEventsOptions options);
    LinuxSystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus)
        : LinuxSystemEvents(std::move(systemBus), std::move(sessionBus),
                            LinuxSystemEventsOptions{}) {}

    void observeWillPowerOff(std::function<void()> handler) override;
    void observeScreenLocked(std::function<void()> handler) override;
    void observeScreenUnlocked(std::function<void()> handler) override;

    // Lets the power-off go ahead now; closing the descriptor is all logind needs.
    void releasePowerOffInhibitor();

private Q_SLOTS:
    void onSessionPropertiesChanged(const QString& interfaceName, const QVariantMap& changed,
                                    const QStringList& invalidated);
    void onScreenSaverActiveChanged(bool active);
    void onPrepareForShutdown(bool starting);

private:
    QDBusMessage callLogind(const QDBusMessage& call);
    QString resolveSessionPath();
    void watchSession(const QString& sessionPath);
    void readLockedHintLater();
    void watchScreenSavers();
    void takePowerOffInhibitor();
    void takePowerOffInhibitorLater();
    void reportScreenLocked(bool locked);

    QDBusConnection systemBus_;
    QDBusConnection sessionBus_;
    LinuxSystemEventsOptions options_;
    // Once logind let a call time out, start-up makes no more blocking calls to it.
    bool logindUnresponsive_ = false;

    QString sessionPath_;
    // One state for all sources, so that each real transition reaches the agent once.
    bool screenLocked_ = false;
    std::function<void()> screenLockedHandler_;
    std::function<void()> screenUnlockedHandler_;

    std::function<void()> willPowerOffHandler_;
    bool powerOffObserved_ = false;
    QDBusUnixFileDescriptor powerOffInhibitor_;
    QTimer inhibitorReleaseTimer_;
    // Changes whenever a hold is given up or a power-off begins; an inhibitor requested before
    // that change is no longer wanted when it arrives.
    unsigned inhibitorGeneration_ = 0;
    std::optional<unsigned> pendingInhibitorGeneration_;
};

} // namespace talverin
