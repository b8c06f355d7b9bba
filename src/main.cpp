#include "app/AppDelegate.h"
#include "log/DailyLog.h"
#include "platform/linux/DbusCommands.h"
#include "platform/linux/DesktopWorkspace.h"
#include "platform/linux/LinuxSerialNumberSource.h"
#include "platform/linux/LinuxSystemEvents.h"
#include "platform/linux/LinuxSystemInfo.h"
#include "platform/linux/QtAlerts.h"
#include "platform/linux/QtApplicationRunner.h"
#include "platform/linux/QtMainQueue.h"
#include "platform/linux/QtUrlSession.h"
#include "platform/linux/ServiceOrigin.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "platform/linux/StdoutConsole.h"
#include "platform/linux/SystemClock.h"
#include "platform/linux/ThreadSleeper.h"
#include "platform/linux/TrayStatusBar.h"
#include "platform/linux/XdgAutostart.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QPixmapCache>

#include <cstdio>
#include <memory>

using namespace talverin;

namespace {

bool hasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char* argv[]) {
    // A wrong origin would send the serial number where nobody meant it to go: stop first.
    const std::string configuredOrigin = ServiceOrigin::configuredText();
    const auto origin = ServiceOrigin::validated(configuredOrigin);
    if (!origin) {
        std::fprintf(stderr,
                     "talverin-timestamp: TALVERIN_SERVICE_ORIGIN must be an absolute https URL "
                     "(or http to a loopback address), not \"%s\"\n",
                     configuredOrigin.c_str());
        return 2;
    }
    if (!hasDisplay()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // The one icon is cheap to draw again; a cache would wake the idle agent 30 s after start to
    // age its entries.
    QPixmapCache::setCacheLimit(0);
    QApplication::setApplicationName(QStringLiteral("TALVERIN Timestamp"));
    QApplication::setApplicationVersion(
        QStringLiteral(TALVERIN_SHORT_VERSION "." TALVERIN_BUILD_NUMBER));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.talverin.Timestamp"));
    const QString platformName = QGuiApplication::platformName();
    const bool headless =
        platformName == QStringLiteral("offscreen") || platformName == QStringLiteral("minimal");

    StdoutConsole console;

    // Owning the name is what keeps a second agent from stamping twice.
    QDBusConnection sessionBus = QDBusConnection::sessionBus();
    if (sessionBus.isConnected() &&
        !sessionBus.registerService(QString::fromLatin1(DbusCommands::serviceName))) {
        console.printLine("TALVERIN Timestamp is already running.");
        return 0;
    }

    // First of all that start-up makes: the delivery thread then readies TLS and connects to the
    // service while the rest is made, and the arrival stamp finds the connection open.
    auto urlSession = std::make_unique<QtUrlSession>();
    urlSession->preconnect(*origin);

    SystemClock clock;
    LinuxSystemInfo systemInfo;
    const DailyLog storeLog(clock, [&systemInfo] { return systemInfo.homeDirectory(); });
    SqliteDefaultsStore defaults(
        SqliteDefaultsStore::defaultPath(),
        [&console, &storeLog](const std::string& consoleLine, const std::string& logLine) {
            console.printLine(consoleLine);
            storeLog.write(logLine);
        });
    QtMainQueue mainQueue;
    ThreadSleeper sleeper;
    QtApplicationRunner runner;
    TrayStatusBar statusBar;
    QtAlerts alerts(headless);
    DesktopWorkspace workspace;
    LinuxSystemEvents systemEvents(QDBusConnection::systemBus(), sessionBus);
    LinuxSerialNumberSource serialNumber(QDBusConnection::systemBus());
    XdgAutostart launchAtLogin(QCoreApplication::applicationFilePath(),
                               XdgAutostart::defaultEntryPath());

    AppDelegate delegate(Platform{clock, console, mainQueue, defaults, *urlSession, sleeper, runner,
                                  statusBar, alerts, workspace, systemEvents, serialNumber,
                                  launchAtLogin, systemInfo},
                         AppDelegate::Options{*origin});
    runner.setDelegate(delegate);
    runner.watchTerminationSignals();

    DbusCommands commands(delegate);
    if (sessionBus.isConnected()) {
        sessionBus.registerObject(QString::fromLatin1(DbusCommands::objectPath), &commands,
                                  QDBusConnection::ExportAllSlots);
    }

    runner.finishLaunchingWhenRunning();
    QApplication::exec();
    // No answer may reach the delegate once the agent has decided to end.
    urlSession.reset();
    return 0;
}
