#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

namespace talverin {

class Application;
class LinuxSystemEvents;

// The agent as a client of GNOME's session manager over the session bus, on X11 and Wayland
// alike: a log-out's end ends presence and is answered once the leaving stamp has its outcome,
// a log-out called off is reported, and the manager's stop is a termination request. Where no
// GNOME session manager runs, registering fails quietly and nothing else happens.
class GnomeSessionClient final : public QObject {
    Q_OBJECT
public:
    // startupId: the id the session manager started the agent with (DESKTOP_AUTOSTART_ID), so
    // that it ties the agent to its autostart entry; empty when the agent was started otherwise.
    GnomeSessionClient(QDBusConnection sessionBus, QString startupId, LinuxSystemEvents& events,
                       Application& application);

    // Asks to be registered, without waiting for the answer.
    void registerClient();

Q_SIGNALS:
    // The manager took the agent as its client: its EndSession will hold the session's end.
    void registered();

private Q_SLOTS:
    void onQueryEndSession(uint flags, const QDBusMessage& message);
    void onEndSession(uint flags, const QDBusMessage& message);
    void onCancelEndSession(const QDBusMessage& message);
    void onStop(const QDBusMessage& message);

private:
    void registerWith(const QString& startupId);
    bool isForThisClient(const QDBusMessage& message) const;

    QDBusConnection sessionBus_;
    QString startupId_;
    LinuxSystemEvents& events_;
    Application& application_;
    // The object path the session manager gave this client; empty until registered.
    QString clientPath_;
};

} // namespace talverin
