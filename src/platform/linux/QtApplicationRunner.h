#pragma once

#include "platform/Application.h"
#include "platform/ApplicationDelegate.h"

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace talverin {

// The termination protocol on top of the Qt event loop. A request asks the delegate; "later"
// holds it until a reply of yes; "now" runs the will-terminate step and ends the event loop.
// SIGTERM, SIGINT, SIGHUP and the session manager's Die arrive here as requests.
class QtApplicationRunner final : public QObject, public Application {
    Q_OBJECT
public:
    enum class State { Running, Asking, Held, Terminating };

    // The delegate that answers; set once, before the event loop runs.
    void setDelegate(ApplicationDelegate& delegate) { delegate_ = &delegate; }
    ~QtApplicationRunner() override;

    void terminate() override;
    void replyToApplicationShouldTerminate(bool shouldTerminate) override;

    // Termination requests from POSIX signals, through a self-pipe read on the main thread.
    void watchTerminationSignals();
    // Queues the delegate's start-up for the first turn of the event loop.
    void finishLaunchingWhenRunning();

    State state() const { return state_; }

private:
    void proceedWithTermination();
    void readSignalPipe();

    ApplicationDelegate* delegate_ = nullptr;
    State state_ = State::Running;
    // The request under way came from a hang-up whose SIGTERM has not come yet.
    bool hangUpAlone_ = false;
    std::unique_ptr<QSocketNotifier> signalNotifier_;
};

} // namespace talverin
