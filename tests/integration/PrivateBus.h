#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

namespace talverin::testing {

// A dbus-daemon of the test's own, standing in for the session or the system bus, and a
// connection of this process to it. The daemon ends with the object.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // False when the daemon did not start; errorText() then says why.
    bool isRunning() const { return connected_; }
    const QString& errorText() const { return errorText_; }
    const QString& address() const { return address_; }
    QDBusConnection connection() const;

    // Waits until someone owns the name.
    bool waitForName(const QString& name,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    QProcess daemon_;
    QString address_;
    QString connectionName_;
    QString errorText_;
    bool connected_ = false;
};

// A program serving on a private bus (both DBUS_SESSION_BUS_ADDRESS and
// DBUS_SYSTEM_BUS_ADDRESS point at it), ended with the object. Its output goes to the test's.
class BusServiceProcess {
public:
    BusServiceProcess(const PrivateBus& bus, const QString& program, const QStringList& arguments);
    ~BusServiceProcess();
    BusServiceProcess(const BusServiceProcess&) = delete;
    BusServiceProcess& operator=(const BusServiceProcess&) = delete;

    bool isRunning() const { return process_.state() != QProcess::NotRunning; }
    qint64 processId() const { return process_.processId(); }

    // Starts one of the Python fakes in tests/support/fakes and waits until it owns busName;
    // nullptr when it did not get there.
    static std::unique_ptr<BusServiceProcess> startFake(const PrivateBus& bus,
                                                        const QString& script,
                                                        const QString& busName,
                                                        const QStringList& arguments = {});

private:
    QProcess process_;
};

// The folder of the fake services and of the private bus configuration.
QString fakesDirectory();

} // namespace talverin::testing
