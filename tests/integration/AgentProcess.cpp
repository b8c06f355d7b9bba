#include "AgentProcess.h"

#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace talverin::testing {

AgentProcess::AgentProcess(const QProcessEnvironment& environment, const QStringList& prefix) {
    process_.setProcessEnvironment(environment);
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QStringList command = prefix;
    command << executable();
    process_.start(command.takeFirst(), command);
    process_.waitForStarted(10000);
}

AgentProcess::~AgentProcess() {
    if (isRunning()) {
        process_.kill();
        process_.waitForFinished(10000);
    }
}

QString AgentProcess::executable() {
    return QStringLiteral(TALVERIN_BINARY_DIR "/talverin-timestamp");
}

void AgentProcess::collect() {
    output_ += QString::fromUtf8(process_.readAllStandardOutput());
    errors_ += QString::fromUtf8(process_.readAllStandardError());
}

QStringList AgentProcess::outputLines() {
    collect();
    QStringList lines = output_.split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

QString AgentProcess::errorText() {
    collect();
    return errors_;
}

bool AgentProcess::waitForLine(const QString& line, int timeoutMs) {
    return QTest::qWaitFor([&] { return outputLines().contains(line); }, timeoutMs);
}

bool AgentProcess::waitForLineContaining(const QString& text, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            const QStringList lines = outputLines();
            return std::any_of(lines.begin(), lines.end(),
                               [&](const QString& line) { return line.contains(text); });
        },
        timeoutMs);
}

bool AgentProcess::waitForStderrContaining(const QString& text, int timeoutMs) {
    return QTest::qWaitFor([&] { return errorText().contains(text); }, timeoutMs);
}

bool AgentProcess::waitForExit(int timeoutMs) {
    const bool ended = QTest::qWaitFor([&] { return !isRunning(); }, timeoutMs);
    collect();
    return ended;
}

void AgentProcess::sendSignal(int signalNumber) {
    if (isRunning()) {
        ::kill(static_cast<pid_t>(process_.processId()), signalNumber);
    }
}

} // namespace talverin::testing
