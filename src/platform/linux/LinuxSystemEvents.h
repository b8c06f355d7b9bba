#pragma once

#include "platform/SystemEvents.h"
#include "platform/linux/DelayInhibitor.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <utility>

namespace talverin {

struct LinuxSystemEventsOptions {
    // How long a power-off or a sleep is held back for the leaving stamp at most. Well below
    // logind's usual 5 s cap, so the delay is ours to end, not logind's.
    std::chrono::milliseconds inhibitorReleaseDelay{4000};
    // Bound for each call to logind made while starting up or taking an inhibitor.
    std::chrono::milliseconds logindCallTimeout{1500};
};

// The user's presence from logind's LockedHint and PrepareForSleep and the desktops'
// screensavers, power-off from PrepareForShutdown, and the session's end from its State. A
// power-off and a sleep are held back by delay inhibitors until the leaving stamp has its outcome.
// Lives on the main thread; so do the handlers it calls.
class LinuxSystemEvents final : public QObject, public SystemEvents {
    Q_OBJECT
public:
    LinuxSystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus,
                      LinuxSystemEventsOptions options);
    LinuxSystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus)
        : LinuxSystemEvents(std::move(systemBus), std::move(sessionBus),
                            LinuxSystemEventsOptions{}) {}

    void observeWillPowerOff(std::function<void()> handler) override;
    void observePowerOffCancelled(std::function<void()> handler) override;
    void observeScreenLocked(std::function<void()> handler) override;
    void observeScreenUnlocked(std::function<void()> handler) override;
    void leavingStampSettled() override;

Q_SIGNALS:
    // logind is closing the session (log-out): the agent is to end as if asked to quit.
    void sessionClosing();

private Q_SLOTS:
    void onSessionPropertiesChanged(const QString& interfaceName, const QVariantMap& changed,
                                    const QStringList& invalidated);
    void onScreenSaverActiveChanged(bool active);
    void onPrepareForShutdown(bool starting);
    void onPrepareForSleep(bool starting);

private:
    QDBusMessage callLogind(const QDBusMessage& call);
    QString resolveSessionPath();
    void watchSession(const QString& sessionPath);
    void readLockedHintLater();
    void watchScreenSavers();
    void reportScreenLocked(bool locked);
    void reportPresence();

    QDBusConnection systemBus_;
    QDBusConnection sessionBus_;
    LinuxSystemEventsOptions options_;
    // Once logind let a call time out, start-up makes no more blocking calls to it.
    bool logindUnresponsive_ = false;

    QString sessionPath_;
    // One state for all sources, so that each real change reaches the agent once.
    bool screenLocked_ = false;
    bool asleep_ = false;
    bool present_ = true;
    std::function<void()> screenLockedHandler_;
    std::function<void()> screenUnlockedHandler_;

    std::function<void()> willPowerOffHandler_;
    std::function<void()> powerOffCancelledHandler_;
    bool powerOffObserved_ = false;
    bool powerOffUnderWay_ = false;
    DelayInhibitor powerOffInhibitor_;
    DelayInhibitor sleepInhibitor_;
};

} // namespace talverin
