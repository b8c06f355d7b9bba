#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace talverin::testing {

// The built agent as a process of the test's own, its output collected line by line. Killed by
// its process id when the object ends, should it still run.
class AgentProcess {
public:
    // prefix: a command the agent runs under (such as a wrapper that hides the hardware serial).
    explicit AgentProcess(const QProcessEnvironment& environment, const QStringList& prefix = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    static QString executable();

    qint64 processId() const { return process_.processId(); }
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }

    // Waits, serving the test's own event loop meanwhile, until standard output holds a line
    // equal to line (or, with contains, a line holding it), counting from the start.
    bool waitForLine(const QString& line, int timeoutMs = 20000);
    bool waitForLineContaining(const QString& text, int timeoutMs = 20000);
    bool waitForStderrContaining(const QString& text, int timeoutMs = 20000);
    bool waitForExit(int timeoutMs = 20000);

    void sendSignal(int signalNumber);

    QStringList outputLines();
    QString errorText();
    int exitCode() const { return process_.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }

private:
    void collect();

    QProcess process_;
    QString output_;
    QString errors_;
};

} // namespace talverin::testing
