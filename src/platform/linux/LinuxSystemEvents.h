#pragma once

#include "platform/SystemEvents.h"
#include "platform/linux/DelayInhibitor.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace talverin {

struct LinuxSystemEventsOptions {
    // How long a power-off or a sleep is held back for the leaving stamp at most. Well below
    // logind's usual 5 s cap, so the delay is ours to end, not logind's.
    std::chrono::milliseconds inhibitorReleaseDelay{4000};
    // Bound for each call to logind made while starting up or taking an inhibitor.
    std::chrono::milliseconds logindCallTimeout{1500};
};

// The desktop's events as the agent needs them: the screen locked or unlocked (logind's
// LockedHint and the desktops' screensavers), sleep and power-off (logind, each held back by a
// delay inhibitor until the agent lets it go), the session's end reported by the session managers,
// and the network coming back. Lives on the main thread; so do the observers it calls.
class LinuxSystemEvents final : public QObject, public SystemEvents {
    Q_OBJECT
public:
    LinuxSystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus,
                      LinuxSystemEventsOptions options);
    LinuxSystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus)
        : LinuxSystemEvents(std::move(systemBus), std::move(sessionBus),
                            LinuxSystemEventsOptions{}) {}

    void observe(SystemEventObservers observers) override;
    bool isScreenLocked() override { return lockedAtStart_; }
    std::optional<bool> isNetworkReachable() override;
    void release(Hold hold) override;

    // A session manager reports a log-out (or its cancel). answer tells it that the agent is ready
    // for the session to end: once the leaving stamp has its outcome, after the hold at the latest.
    void reportSessionEnding(bool ending, std::function<void()> answer = {});

private Q_SLOTS:
    void onSessionPropertiesChanged(const QString& interfaceName, const QVariantMap& changed);
    void onScreenSaverActiveChanged(bool active);
    void onPrepareForShutdown(bool starting);
    void onPrepareForSleep(bool starting);

private:
    QDBusMessage callLogind(const QDBusMessage& call);
    QString resolveSessionPath();
    void watchSession(const QString& sessionPath);
    void watchScreenSavers();
    void watchNetwork();
    void reportScreenLocked(bool locked);
    void answerSessionEnd();

    QDBusConnection systemBus_;
    QDBusConnection sessionBus_;
    LinuxSystemEventsOptions options_;
    // Once logind let a call time out, start-up makes no more blocking calls to it.
    bool logindUnresponsive_ = false;

    QString sessionPath_;
    bool lockedAtStart_ = false;
    SystemEventObservers observers_;
    bool observed_ = false;

    bool powerOffUnderWay_ = false;
    bool asleep_ = false;
    DelayInhibitor powerOffInhibitor_;
    DelayInhibitor sleepInhibitor_;
    // Answers owed to session managers for the log-out under way.
    std::vector<std::function<void()>> sessionEndAnswers_;
    QTimer sessionEndTimer_;
    bool networkOnline_ = false;
};

} // namespace talverin
