#pragma once

#include "platform/Application.h"
#include "platform/linux/LinuxSystemEvents.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>
#include <string>

// libSM's connection handle, kept out of this header.
struct _SmcConn;

namespace talverin {

// The agent as a client of the X session manager (XSMP over ICE: xfce4-session, MATE, KDE and
// GNOME on X11). The toolkit's own client answers every save at once and has the session restart
// the agent, so the agent keeps it out of the way and speaks for itself:
// - a save that is not a log-out is answered at once and changes nothing;
// - a log-out's save is reported as the session ending, and answered only once the agent lets the
//   session end (its leaving stamp has an outcome, or the hold is over); each save its own answer;
// - a cancelled log-out is reported as called off; Die is a termination request;
// - the session manager never restarts the agent: its autostart entry starts it.
// Lives on the main thread, where the connection is read.
class XsmpSessionClient final : public QObject {
    Q_OBJECT
public:
    // address: the session manager's (SESSION_MANAGER), empty for none. previousId: the client id
    // the session manager started the agent with (DESKTOP_AUTOSTART_ID), empty for none. program:
    // the agent's executable, for the session manager's records.
    XsmpSessionClient(const QByteArray& address, const std::string& previousId,
                      const QString& program, LinuxSystemEvents& systemEvents,
                      Application& application);
    ~XsmpSessionClient() override;

    bool isConnected() const { return connection_ != nullptr; }
    // GNOME's session manager holds the session's end for the agent over D-Bus (EndSession), and
    // gives an X client's first log-out save one second: a later answer shows the user a "not
    // responding" dialog. From now on log-out saves are answered at once; they still end presence.
    void leaveTheHoldToGnome() { savesHeldElsewhere_ = true; }

private:
    static void onSaveYourself(_SmcConn* connection, void* client, int saveType, int shutdown,
                               int interactStyle, int fast);
    static void onDie(_SmcConn* connection, void* client);
    static void onSaveComplete(_SmcConn* connection, void* client);
    static void onShutdownCancelled(_SmcConn* connection, void* client);

    void saveYourself(bool shutdown);
    void answerLogOutSave(unsigned logOut);
    void shutdownCancelled();
    void describeTo(const QString& program);
    void readMessages();
    void disconnectFromManager();

    LinuxSystemEvents& systemEvents_;
    Application& application_;
    _SmcConn* connection_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    // Saves of the log-out under way not answered yet. Counting log-outs lets an answer that comes
    // after its log-out was called off (and its saves answered then) do nothing.
    int unansweredLogOutSaves_ = 0;
    unsigned logOut_ = 0;
    bool savesHeldElsewhere_ = false;
};

} // namespace talverin
