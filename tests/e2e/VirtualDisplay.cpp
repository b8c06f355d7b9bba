#include "VirtualDisplay.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace talverin::testing {

namespace {

// Reads what the server writes on its -displayfd descriptor: the display number and a newline.
QString readDisplayNumber(int descriptor, const QProcess& server) {
    QByteArray text;
    const QDeadlineTimer deadline(30000);
    while (!text.contains('\n') && !deadline.hasExpired() &&
           server.state() != QProcess::NotRunning) {
        pollfd waiting{descriptor, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, 200);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[32];
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count <= 0) {
            break;
        }
        text.append(buffer, count);
    }
    const QByteArray number = text.trimmed();
    bool isNumber = false;
    number.toUInt(&isNumber);
    return isNumber ? QStringLiteral(":") + QString::fromLatin1(number) : QString();
}

} // namespace

VirtualDisplay::VirtualDisplay() {
    int pipeEnds[2] = {-1, -1};
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        errorText_ = "no pipe for -displayfd";
        return;
    }
    const int writeEnd = pipeEnds[1];
    server_.setProcessChannelMode(QProcess::MergedChannels);
    server_.setChildProcessModifier([writeEnd] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Only the server inherits the write end.
        ::fcntl(writeEnd, F_SETFD, 0);
    });
    // -noreset: the server keeps its state when its last client leaves between two steps.
    server_.start(QStringLiteral("Xvfb"),
                  {QStringLiteral("-displayfd"), QString::number(writeEnd),
                   QStringLiteral("-screen"), QStringLiteral("0"),
                   QStringLiteral("%1x%2x24").arg(width).arg(height), QStringLiteral("-nolisten"),
                   QStringLiteral("tcp"), QStringLiteral("-wr"), QStringLiteral("-noreset")});
    const bool started = server_.waitForStarted(10000);
    ::close(writeEnd);
    if (started) {
        name_ = readDisplayNumber(pipeEnds[0], server_);
    }
    ::close(pipeEnds[0]);
    if (!started) {
        errorText_ = "cannot start Xvfb: " + server_.errorString().toStdString();
    } else if (name_.isEmpty()) {
        errorText_ = "Xvfb gave no display number: " + server_.readAll().toStdString();
    }
}

VirtualDisplay::~VirtualDisplay() {
    if (server_.state() == QProcess::NotRunning) {
        return;
    }
    server_.terminate();
    if (!server_.waitForFinished(10000)) {
        server_.kill();
        server_.waitForFinished(10000);
    }
}

QProcessEnvironment VirtualDisplay::clientEnvironment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("XAUTHORITY"));
    environment.insert(QStringLiteral("DISPLAY"), name_);
    return environment;
}

} // namespace talverin::testing
