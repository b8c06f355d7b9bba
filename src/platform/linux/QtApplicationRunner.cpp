#include "platform/linux/QtApplicationRunner.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace talverin {

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void forwardSignal(int signalNumber) {
    const int savedErrno = errno;
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

QtApplicationRunner::~QtApplicationRunner() {
    if (signalNotifier_) {
        for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
            std::signal(signalNumber, SIG_DFL);
        }
    }
}

void QtApplicationRunner::watchTerminationSignals() {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(signalNotifier_.get(), &QSocketNotifier::activated, this,
            &QtApplicationRunner::readSignalPipe);
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

void QtApplicationRunner::readSignalPipe() {
    char bytes[16];
    ssize_t count = 0;
    while ((count = ::read(signalPipe[0], bytes, sizeof bytes)) > 0) {
        // Each signal is one request, however many arrive before the pipe is read: a second
        // SIGTERM or SIGINT while the first quit is held ends the agent at once, as Ctrl-C
        // pressed twice. But systemd stopping a session scope, or a unit with SendSIGHUP=yes,
        // sends SIGTERM and right after it SIGHUP, and that is one stop. Signals sent together
        // reach the process's threads in any order, so the hang-up may come first: a hang-up and
        // one SIGTERM, in either order, make one request.
        for (ssize_t index = 0; index < count; ++index) {
            const bool held = state_ == State::Held;
            if (held && bytes[index] == SIGHUP) {
                continue;
            }
            if (held && bytes[index] == SIGTERM && std::exchange(hangUpAlone_, false)) {
                continue;
            }
            hangUpAlone_ = bytes[index] == SIGHUP;
            terminate();
        }
    }
}

void QtApplicationRunner::finishLaunchingWhenRunning() {
    QTimer::singleShot(0, this, [this] { delegate_->applicationDidFinishLaunching(); });
}

void QtApplicationRunner::terminate() {
    // Once termination is under way, or while the delegate is answering, a further request
    // starts no new cycle.
    if (state_ == State::Terminating || state_ == State::Asking) {
        return;
    }
    state_ = State::Asking;
    switch (delegate_->applicationShouldTerminate()) {
    case TerminateReply::Now:
        proceedWithTermination();
        break;
    case TerminateReply::Later:
        state_ = State::Held;
        break;
    case TerminateReply::Cancel:
        state_ = State::Running;
        break;
    }
}

void QtApplicationRunner::replyToApplicationShouldTerminate(bool shouldTerminate) {
    // Replies count only for a held request; the delegate's own reply while it answers is
    // superseded by its answer.
    if (state_ != State::Held) {
        return;
    }
    if (shouldTerminate) {
        proceedWithTermination();
    } else {
        state_ = State::Running;
    }
}

void QtApplicationRunner::proceedWithTermination() {
    state_ = State::Terminating;
    delegate_->applicationWillTerminate();
    // Leaves every event loop, a modal dialog's included.
    QCoreApplication::exit(0);
}

} // namespace talverin
