#pragma once

#include "platform/UrlSession.h"

#include <QThread>

#include <atomic>
#include <optional>
#include <string>

namespace talverin {

class DeliveryWorker;

// The shared URL session on Qt: one worker thread, the delivery queue, owns the network access
// manager; dataTask may be called from any thread and the transfers start on that thread in the
// order they were asked for. TLS is always verified, against the system's CA certificates plus
// those in the file named by TALVERIN_CA_FILE. Redirects are never followed: a 3xx answer comes
// back as it is, so the serial number never travels to another origin.
class QtUrlSession final : public UrlSession {
public:
    // Reads TALVERIN_CA_FILE once, here.
    QtUrlSession();
    // extraCaFile: a PEM file of CA certificates trusted beside the system's; none for none.
    explicit QtUrlSession(const std::optional<std::string>& extraCaFile);
    // Stops the delivery thread, as stop() does.
    ~QtUrlSession() override;
    QtUrlSession(const QtUrlSession&) = delete;
    QtUrlSession& operator=(const QtUrlSession&) = delete;

    void dataTask(const HttpRequest& request, TransferCompletion completion) override;

    // Opens a connection to that origin (scheme, host and port) ahead of the first transfer, so
    // that its handshake overlaps the rest of start-up; the first transfer then finds it ready.
    // Nothing is sent on it. A failure is silent: the transfer that follows meets it again.
    void preconnect(const std::string& origin);

    // Ends the delivery thread: transfers in flight are abandoned, and no completion runs after
    // this returns, so whatever the completions use may then be destroyed. Later transfers are
    // dropped unstarted. Called on the main thread when the application ends (never on the
    // delivery thread); calling it again does nothing.
    void stop();

    // The delivery queue's thread, on which every completion runs.
    const QThread* deliveryThread() const { return &thread_; }

    static std::optional<std::string> caFileFromEnvironment();

private:
    QThread thread_;
    DeliveryWorker* worker_; // lives on thread_; deleted once thread_ has ended
    std::atomic<bool> stopped_{false};
};

} // namespace talverin
