#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace talverin {

// One logind "delay" inhibitor (for shutdown or for sleep): held while nothing happens, so that
// when the power-off or the sleep is announced the agent has time to send its leaving stamp;
// given up once that stamp has its outcome, or after the hold at the latest, and taken again for
// the next time.
class DelayInhibitor final : public QObject {
    Q_OBJECT
public:
    DelayInhibitor(QDBusConnection systemBus, QString what, QString why,
                   std::chrono::milliseconds hold, std::chrono::milliseconds callTimeout);

    QDBusMessage inhibitCall() const;
    // At start-up, through the caller's bounded blocking call.
    void take(const std::function<QDBusMessage(const QDBusMessage&)>& blockingCall);
    // Without waiting: after a cancelled power-off or a resume.
    void takeLater();
    // The power-off or sleep it exists for has begun: the hold's clock starts.
    void begin();
    void release();
    bool isHeld() const { return descriptor_.isValid(); }

private:
    void keep(QDBusUnixFileDescriptor received);

    QDBusConnection systemBus_;
    QString what_;
    QString why_;
    std::chrono::milliseconds callTimeout_;
    QDBusUnixFileDescriptor descriptor_;
    QTimer releaseTimer_;
    // Changes whenever a hold is given up or an event begins; an inhibitor asked for before that
    // change is no longer wanted when it arrives.
    unsigned generation_ = 0;
    std::optional<unsigned> pendingGeneration_;
};

} // namespace talverin
