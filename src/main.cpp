#include "app/AppDelegate.h"
#include "log/DailyLog.h"
#include "platform/linux/DbusCommands.h"
#include "platform/linux/DesktopWorkspace.h"
#include "platform/linux/GnomeSessionClient.h"
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
#include "platform/linux/ToolkitArguments.h"
#include "platform/linux/TrayStatusBar.h"
#include "platform/linux/XdgAutostart.h"
#include "platform/linux/XsmpSessionClient.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QPixmapCache>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>

using namespace talverin;

namespace {

const char* const usage =
    "Usage: talverin-timestamp [options]\n"
    "Stamps the time clock: arrival when it starts and when the screen is unlocked, leaving when\n"
    "the screen is locked, the machine sleeps or powers off, and when it is asked to quit.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Displays this help and exits.\n"
    "  -v, --version  Displays the version and exits.\n"
    "The toolkit's own options (-session, -name, -display, -platform...) are taken as the toolkit\n"
    "takes them.\n";

// Answers --help and --version, and refuses what it does not know, before anything else is
// touched: none of them stamps, logs or takes the bus name. Nothing: go on and run the agent.
std::optional<int> answerCommandLine(int argc, char* argv[]) {
    QStringList arguments;
    for (int index = 0; index < argc; ++index) {
        arguments << QString::fromLocal8Bit(argv[index]);
    }
    // A session saved by an earlier agent restarts it with the toolkit's own options; the
    // toolkit acts on them itself.
    arguments = ToolkitArguments::removedFrom(arguments);
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays the version."));
    parser.addOption(help);
    parser.addOption(version);
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString problem = parser.positionalArguments().isEmpty()
                                    ? parser.errorText()
                                    : QStringLiteral("Unexpected argument '%1'.")
                                          .arg(parser.positionalArguments().constFirst());
        std::fprintf(stderr, "talverin-timestamp: %s\n\n%s", problem.toLocal8Bit().constData(),
                     usage);
        return 2;
    }
    if (parser.isSet(help)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("talverin-timestamp %s\n", TALVERIN_SHORT_VERSION "." TALVERIN_BUILD_NUMBER);
        return 0;
    }
    return std::nullopt;
}

// Set while the event loop runs: a process that ends inside it without a termination request
// (the toolkit ends it when the display goes away at log-out) still stores the day's end.
std::atomic<AppDelegate*> runningDelegate{nullptr};

std::once_flag abruptEnd;

// Once, however many threads find the display gone: each of them ends the process as soon as
// this returns, so the others wait here until the record is stored.
void storeLeavingOnAbruptEnd() {
    std::call_once(abruptEnd, [] {
        if (AppDelegate* delegate = runningDelegate.exchange(nullptr)) {
            delegate->applicationEndsAbruptly();
        }
    });
}

// The toolkit's own warnings are diagnostics for whoever reads the log, not lines for the
// console, which carries the agent's lines only.
const DailyLog* toolkitLog = nullptr;

// When the Wayland compositor goes away (at log-out, or when it crashes), the toolkit's Wayland
// client warns with one of these and then calls _exit(1) at once: no exit handler runs, and the
// toolkit offers no other hook in between. The warning is the last of the agent's code that runs,
// on each thread that reads the broken connection (the main thread, the toolkit's Wayland event
// threads), often two at once. Rules that silence the toolkit's warnings silence this too.
bool endsTheWaylandConnection(const QString& message) {
    return message.startsWith(QLatin1String("The Wayland connection broke.")) ||
           message.startsWith(QLatin1String("The Wayland connection experienced a fatal error"));
}

void logToolkitMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (toolkitLog == nullptr || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        return;
    }
    toolkitLog->write("Qt: " + message.toStdString());
    if (type == QtWarningMsg && endsTheWaylandConnection(message)) {
        storeLeavingOnAbruptEnd();
    }
}

// The startup id a session manager gave the agent it started, read once: no process the agent
// starts (a browser opening the web site) may present it as its own.
QString takeAutostartId() {
    const QString startupId = qEnvironmentVariable("DESKTOP_AUTOSTART_ID");
    qunsetenv("DESKTOP_AUTOSTART_ID");
    return startupId;
}

bool hasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char* argv[]) {
    if (const auto status = answerCommandLine(argc, argv)) {
        return *status;
    }
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
    const QString autostartId = takeAutostartId();
    SystemClock clock;
    LinuxSystemInfo systemInfo;
    const DailyLog storeLog(clock, [&systemInfo] { return systemInfo.homeDirectory(); });
    toolkitLog = &storeLog;
    qInstallMessageHandler(logToolkitMessage);

    // The session manager's address is for the agent's own client: the toolkit's would answer
    // every save at once and have the session restart the agent. It goes back for the programs
    // the agent opens.
    const QByteArray sessionManager = qgetenv("SESSION_MANAGER");
    qunsetenv("SESSION_MANAGER");
    QApplication application(argc, argv);
    if (!sessionManager.isEmpty()) {
        qputenv("SESSION_MANAGER", sessionManager);
    }
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

    SqliteDefaultsStore defaults(
        SqliteDefaultsStore::defaultPath(),
        [&console, &storeLog](const std::string& consoleLine, const std::string& logLine) {
            console.printLine(consoleLine);
            storeLog.write(logLine);
        });
    QtMainQueue mainQueue;
    ThreadSleeper sleeper;
    QtApplicationRunner runner;
    TrayStatusBar statusBar(headless);
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
    // Both session protocols, where the manager speaks them: one log-out reported by both is still
    // one change of presence.
    XsmpSessionClient xsmpSession(sessionManager, autostartId.toStdString(),
                                  QCoreApplication::applicationFilePath(), systemEvents, runner);
    GnomeSessionClient gnomeSession(sessionBus, autostartId, systemEvents, runner);
    QObject::connect(&gnomeSession, &GnomeSessionClient::registered, &gnomeSession,
                     [&xsmpSession] { xsmpSession.leaveTheHoldToGnome(); });
    gnomeSession.registerClient();

    DbusCommands commands(delegate);
    if (sessionBus.isConnected()) {
        sessionBus.registerObject(QString::fromLatin1(DbusCommands::objectPath), &commands,
                                  QDBusConnection::ExportAllSlots);
    }

    runningDelegate = &delegate;
    std::atexit(storeLeavingOnAbruptEnd);

    runner.finishLaunchingWhenRunning();
    QApplication::exec();
    runningDelegate = nullptr;
    // No answer may reach the delegate once the agent has decided to end.
    urlSession.reset();
    toolkitLog = nullptr;
    return 0;
}
