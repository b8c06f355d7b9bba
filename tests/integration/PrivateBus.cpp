#include "PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTest>

#include <atomic>
#include <csignal>

#include <sys/prctl.h>

namespace talverin::testing {

namespace {

// Children die with the test process, even when it crashes or a time-out kills it.
void dieWithParent() {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

void stop(QProcess& process) {
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// The distribution's interpreter carries the D-Bus and GLib bindings the fakes use; a python3
// that comes earlier in PATH (from a version manager, say) often does not.
QString pythonInterpreter() {
    const QString system = QStringLiteral("/usr/bin/python3");
    return QFileInfo(system).isExecutable() ? system : QStringLiteral("python3");
}

QString uniqueConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("talverin-private-bus-%1").arg(++counter);
}

} // namespace

QString fakesDirectory() {
    return QStringLiteral(TALVERIN_SOURCE_DIR "/tests/support/fakes");
}

PrivateBus::PrivateBus() {
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments(
        {QStringLiteral("--config-file=") + fakesDirectory() + QStringLiteral("/private-bus.conf"),
         QStringLiteral("--print-address=1"), QStringLiteral("--nofork")});
    daemon_.setChildProcessModifier(dieWithParent);
    daemon_.start();
    if (!daemon_.waitForStarted(5000)) {
        errorText_ = QStringLiteral("dbus-daemon did not start: ") + daemon_.errorString();
        return;
    }
    const QDeadlineTimer deadline(std::chrono::seconds(10));
    while (!daemon_.canReadLine() && !deadline.hasExpired()) {
        if (!daemon_.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            break;
        }
    }
    if (!daemon_.canReadLine()) {
        errorText_ = QStringLiteral("dbus-daemon gave no address: ") +
                     QString::fromLocal8Bit(daemon_.readAllStandardError());
        return;
    }
    address_ = QString::fromUtf8(daemon_.readLine().trimmed());
    connectionName_ = uniqueConnectionName();
    const QDBusConnection bus = QDBusConnection::connectToBus(address_, connectionName_);
    connected_ = bus.isConnected();
    if (!connected_) {
        errorText_ = QStringLiteral("cannot connect to ") + address_ + QStringLiteral(": ") +
                     bus.lastError().message();
    }
}

PrivateBus::~PrivateBus() {
    if (!connectionName_.isEmpty()) {
        QDBusConnection::disconnectFromBus(connectionName_);
    }
    stop(daemon_);
}

QDBusConnection PrivateBus::connection() const {
    return QDBusConnection(connectionName_);
}

bool PrivateBus::waitForName(const QString& name, std::chrono::milliseconds timeout) const {
    const QDBusConnection bus = connection();
    return QTest::qWaitFor([&] { return bus.interface()->isServiceRegistered(name).value(); },
                           static_cast<int>(timeout.count()));
}

BusServiceProcess::BusServiceProcess(const PrivateBus& bus, const QString& program,
                                     const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus.address());
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(QProcess::ForwardedChannels);
    process_.setChildProcessModifier(dieWithParent);
    process_.start(program, arguments);
    process_.waitForStarted(5000);
}

BusServiceProcess::~BusServiceProcess() {
    stop(process_);
}

std::unique_ptr<BusServiceProcess> BusServiceProcess::startFake(const PrivateBus& bus,
                                                                const QString& script,
                                                                const QString& busName,
                                                                const QStringList& arguments) {
    // -B: no byte-code files in the source tree; -u: output in order with the test's.
    QStringList interpreterArguments{QStringLiteral("-B"), QStringLiteral("-u"),
                                     fakesDirectory() + QLatin1Char('/') + script};
    interpreterArguments += arguments;
    auto service =
        std::make_unique<BusServiceProcess>(bus, pythonInterpreter(), interpreterArguments);
    const QDBusConnection connection = bus.connection();
    const bool owned = QTest::qWaitFor(
        [&] {
            return !service->isRunning() ||
                   connection.interface()->isServiceRegistered(busName).value();
        },
        10000);
    if (!owned || !service->isRunning()) {
        return nullptr;
    }
    return service;
}

} // namespace talverin::testing
