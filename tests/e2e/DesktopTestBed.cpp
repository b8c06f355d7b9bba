#include "DesktopTestBed.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QTimeZone>

#include <fstream>
#include <iterator>

namespace talverin::testing {

DesktopTestBed::DesktopTestBed(Options options)
    : wantsTrayHost_(options.trayHost), wantsWatcher_(options.statusNotifierWatcher) {
    std::filesystem::create_directories(programs);
    std::filesystem::create_directories(runtimeDirectory);
    std::filesystem::permissions(runtimeDirectory, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    // The desktop's way to open a web page, noting the request instead of starting a browser.
    const auto browser = programs / "xdg-open";
    std::ofstream(browser) << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << openedUrlsFile.string()
                           << "'\n";
    std::filesystem::permissions(browser, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);

    if (!agent.problem().empty() || !display.isRunning()) {
        return;
    }
    if (options.trayHost) {
        tray = std::make_unique<TrayHost>(display.clientEnvironment());
    }
    screenSavers =
        BusServiceProcess::startFake(agent.sessionBus, QStringLiteral("fake_screensaver.py"),
                                     QStringLiteral("org.gnome.ScreenSaver"));
    if (options.statusNotifierWatcher) {
        statusNotifierWatcher = BusServiceProcess::startFake(
            agent.sessionBus, QStringLiteral("fake_status_notifier_watcher.py"),
            QStringLiteral("org.kde.StatusNotifierWatcher"));
    }
}

std::string DesktopTestBed::problem() const {
    if (const std::string problem = agent.problem(); !problem.empty()) {
        return problem;
    }
    if (!display.isRunning()) {
        return "X display: " + display.errorText();
    }
    if (wantsTrayHost_ && (!tray || !tray->isRunning())) {
        return "tray host: " + (tray ? tray->errorText() : std::string("not made"));
    }
    if (!screenSavers) {
        return "the fake screensavers did not start";
    }
    if (wantsWatcher_ && !statusNotifierWatcher) {
        return "the fake StatusNotifierWatcher did not start";
    }
    return {};
}

QProcessEnvironment DesktopTestBed::environment() const {
    QProcessEnvironment environment = agent.environment();
    // What the desktop session would set, and nothing that picks another desktop's behaviour.
    for (const char* name :
         {"XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION", "QT_QPA_PLATFORMTHEME",
          "QT_STYLE_OVERRIDE", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID", "DEFAULT_BROWSER",
          "BROWSER", "XAUTHORITY", "SESSION_MANAGER", "LANGUAGE"}) {
        environment.remove(QString::fromLatin1(name));
    }
    environment.insert(QStringLiteral("DISPLAY"), display.name());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                       QString::fromStdString(runtimeDirectory.string()));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    if (wantsWatcher_) {
        // A leak inside QtDBus that only the StatusNotifierItem route meets; see the file.
        const QString existing = environment.value(QStringLiteral("LSAN_OPTIONS"));
        environment.insert(
            QStringLiteral("LSAN_OPTIONS"),
            (existing.isEmpty() ? QString() : existing + u':') +
                QStringLiteral("print_suppressions=0:suppressions=" TALVERIN_SOURCE_DIR
                               "/tests/e2e/qt-dbus-tray.supp"));
    }
    environment.insert(QStringLiteral("PATH"), QString::fromStdString(programs.string()) + u':' +
                                                   environment.value(QStringLiteral("PATH")));
    return environment;
}

std::unique_ptr<AgentProcess> DesktopTestBed::startAgent() const {
    return agent.startAgent(environment());
}

std::unique_ptr<AgentProcess> DesktopTestBed::startAgentWithoutSerial() const {
    QProcessEnvironment withoutSerial = environment();
    withoutSerial.remove(QStringLiteral("TALVERIN_SERIAL_FILE"));
    return agent.startAgent(withoutSerial, /*hideHardwareSerial=*/true);
}

bool DesktopTestBed::emitScreenSaverActiveChanged(const QString& interface, const QString& path,
                                                  bool active) const {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.ScreenSaver"), QStringLiteral("/com/talverin/test/Control"),
        QStringLiteral("com.talverin.test.ScreenSaverControl"),
        QStringLiteral("EmitActiveChanged"));
    call << interface << QVariant::fromValue(QDBusObjectPath(path)) << active;
    return agent.sessionBus.connection().call(call, QDBus::Block, 10000).type() ==
           QDBusMessage::ReplyMessage;
}

std::vector<std::string> DesktopTestBed::openedUrls() const {
    std::vector<std::string> urls;
    std::ifstream in(openedUrlsFile);
    for (std::string line; std::getline(in, line);) {
        urls.push_back(line);
    }
    return urls;
}

std::string DesktopTestBed::logProblem() const {
    const QTimeZone zone("Asia/Tokyo");
    // Lines carry whole seconds.
    QDateTime previous = started.addMSecs(-started.time().msec());
    const QDateTime end = QDateTime::currentDateTimeUtc();
    for (const std::string& line : agent.rawLogLines()) {
        const QDateTime read = QDateTime::fromString(QString::fromStdString(line.substr(0, 19)),
                                                     QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        const QDateTime when(read.date(), read.time(), zone);
        if (line.size() < 22 || line.compare(19, 3, " - ") != 0 || !read.isValid() ||
            when < previous || when > end) {
            return "a line out of form, outside the run or going back: " + line;
        }
        previous = when;
    }
    return {};
}

std::string DesktopTestBed::autostartEntryText() const {
    std::ifstream in(agent.autostartEntry(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace talverin::testing
