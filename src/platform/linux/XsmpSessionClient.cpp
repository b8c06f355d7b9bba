#include "platform/linux/XsmpSessionClient.h"

#include "platform/linux/HomeFolder.h"

#include <QLoggingCategory>
#include <QPointer>

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace talverin {

namespace {

Q_LOGGING_CATEGORY(xsmp, "talverin.xsmp")

// libICE's default handlers end the whole process when the session manager goes away first
// ("ICE default IO error handler doing an exit()") or breaks the protocol. The connection is
// given up instead, and the agent keeps running: the display or the session bus going away, or
// the next termination request, ends it.
void keepRunningOnIoError(IceConn) {}

void noteIceError(IceConn, Bool, int, unsigned long, int errorClass, int severity, IcePointer) {
    qCWarning(xsmp, "ICE error %d (severity %d) from the session manager", errorClass, severity);
}

void noteXsmpError(SmcConn, Bool, int minorOpcode, unsigned long, int errorClass, int severity,
                   SmPointer) {
    qCWarning(xsmp, "session manager error %d for request %d (severity %d)", errorClass,
              minorOpcode, severity);
}

std::string userName() {
    const std::string name = accountField(&passwd::pw_name);
    return name.empty() ? std::to_string(getuid()) : name;
}

// One property for the session manager's records, as libSM takes it.
class Property {
public:
    Property(const char* name, const char* type, std::vector<std::string> values)
        : values_(std::move(values)) {
        for (std::string& value : values_) {
            pieces_.push_back(SmPropValue{static_cast<int>(value.size()), value.data()});
        }
        property_ = SmProp{const_cast<char*>(name), const_cast<char*>(type),
                           static_cast<int>(pieces_.size()), pieces_.data()};
    }
    Property(const Property&) = delete;
    Property& operator=(const Property&) = delete;
    SmProp* get() { return &property_; }

private:
    std::vector<std::string> values_;
    std::vector<SmPropValue> pieces_;
    SmProp property_{};
};

} // namespace

XsmpSessionClient::XsmpSessionClient(const QByteArray& address, const std::string& previousId,
                                     const QString& program, LinuxSystemEvents& systemEvents,
                                     Application& application)
    : systemEvents_(systemEvents), application_(application) {
    if (address.isEmpty()) {
        return;
    }
    IceSetIOErrorHandler(keepRunningOnIoError);
    IceSetErrorHandler(noteIceError);
    SmcSetErrorHandler(noteXsmpError);

    SmcCallbacks callbacks{};
    callbacks.save_yourself = {onSaveYourself, this};
    callbacks.die = {onDie, this};
    callbacks.save_complete = {onSaveComplete, this};
    callbacks.shutdown_cancelled = {onShutdownCancelled, this};
    QByteArray networkIds = address;
    std::string previous = previousId; // libSM retries without it when the manager refuses it
    char* clientId = nullptr;
    char error[256] = "";
    connection_ = SmcOpenConnection(networkIds.data(), nullptr, SmProtoMajor, SmProtoMinor,
                                    SmcSaveYourselfProcMask | SmcDieProcMask |
                                        SmcSaveCompleteProcMask | SmcShutdownCancelledProcMask,
                                    &callbacks, previous.empty() ? nullptr : previous.data(),
                                    &clientId, sizeof error, error);
    std::free(clientId);
    if (connection_ == nullptr) {
        qCWarning(xsmp, "no session management: %s", error);
        return;
    }
    describeTo(program);
    const int socket = IceConnectionNumber(SmcGetIceConnection(connection_));
    // The programs the agent opens must not keep its connection open once it has ended.
    fcntl(socket, F_SETFD, fcntl(socket, F_GETFD) | FD_CLOEXEC);
    notifier_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &XsmpSessionClient::readMessages);
}

XsmpSessionClient::~XsmpSessionClient() {
    disconnectFromManager();
}

// What the session manager keeps about the agent. Never restarted: the autostart entry starts it,
// and a restarted copy beside it would only find the first one running.
void XsmpSessionClient::describeTo(const QString& program) {
    const std::string path = program.toStdString();
    const char restartNever = SmRestartNever;
    Property restartStyle(SmRestartStyleHint, SmCARD8, {std::string(1, restartNever)});
    Property programName(SmProgram, SmARRAY8, {path});
    Property user(SmUserID, SmARRAY8, {userName()});
    Property processId(SmProcessID, SmARRAY8, {std::to_string(getpid())});
    Property restartCommand(SmRestartCommand, SmLISTofARRAY8, {path});
    Property cloneCommand(SmCloneCommand, SmLISTofARRAY8, {path});
    SmProp* properties[] = {restartStyle.get(), programName.get(),    user.get(),
                            processId.get(),    restartCommand.get(), cloneCommand.get()};
    SmcSetProperties(connection_, std::size(properties), properties);
}

void XsmpSessionClient::readMessages() {
    const IceProcessMessagesStatus status =
        IceProcessMessages(SmcGetIceConnection(connection_), nullptr, nullptr);
    if (status != IceProcessMessagesSuccess) {
        qCWarning(xsmp, "the session manager closed the connection");
        disconnectFromManager();
    }
}

void XsmpSessionClient::disconnectFromManager() {
    if (connection_ == nullptr) {
        return;
    }
    notifier_.reset();
    // A log-out still waiting for the agent's answer no longer gets one: the connection is gone.
    unansweredLogOutSaves_ = 0;
    SmcCloseConnection(std::exchange(connection_, nullptr), 0, nullptr);
}

void XsmpSessionClient::onSaveYourself(SmcConn, SmPointer client, int, Bool shutdown, int, Bool) {
    static_cast<XsmpSessionClient*>(client)->saveYourself(shutdown != False);
}

void XsmpSessionClient::onDie(SmcConn, SmPointer client) {
    // Outside libSM's reading of the message: the agent may end within the request.
    auto* self = static_cast<XsmpSessionClient*>(client);
    QMetaObject::invokeMethod(
        self, [self] { self->application_.terminate(); }, Qt::QueuedConnection);
}

void XsmpSessionClient::onSaveComplete(SmcConn, SmPointer) {}

void XsmpSessionClient::onShutdownCancelled(SmcConn, SmPointer client) {
    static_cast<XsmpSessionClient*>(client)->shutdownCancelled();
}

void XsmpSessionClient::saveYourself(bool shutdown) {
    if (!shutdown) {
        // A checkpoint while the user works: the agent has nothing of its own to save.
        SmcSaveYourselfDone(connection_, True);
        return;
    }
    if (savesHeldElsewhere_) {
        systemEvents_.reportSessionEnding(true);
        SmcSaveYourselfDone(connection_, True);
        return;
    }
    ++unansweredLogOutSaves_;
    systemEvents_.reportSessionEnding(
        true, [client = QPointer<XsmpSessionClient>(this), logOut = logOut_] {
            if (client) {
                client->answerLogOutSave(logOut);
            }
        });
}

void XsmpSessionClient::answerLogOutSave(unsigned logOut) {
    if (connection_ == nullptr || logOut != logOut_ || unansweredLogOutSaves_ == 0) {
        return;
    }
    --unansweredLogOutSaves_;
    SmcSaveYourselfDone(connection_, True);
}

void XsmpSessionClient::shutdownCancelled() {
    // The saves of a called-off log-out are owed an answer all the same; the stamp's outcome no
    // longer matters to the session manager.
    ++logOut_;
    for (; unansweredLogOutSaves_ > 0; --unansweredLogOutSaves_) {
        SmcSaveYourselfDone(connection_, False);
    }
    systemEvents_.reportSessionEnding(false);
}

} // namespace talverin
