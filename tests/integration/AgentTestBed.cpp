#include "AgentTestBed.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QTest>

#include <algorithm>
#include <fstream>
#include <sqlite3.h>

namespace talverin::testing {

AgentTestBed::AgentTestBed() {
    std::filesystem::create_directories(home);
    std::ofstream(serialFile) << "C02TESTSERIAL\n";
    if (systemBus.isRunning()) {
        logind = BusServiceProcess::startFake(systemBus, QStringLiteral("fake_logind.py"),
                                              QStringLiteral("org.freedesktop.login1"));
    }
    if (certificates.isReady()) {
        service = std::make_unique<StampServiceProcess>(certificates);
    }
}

std::string AgentTestBed::problem() const {
    if (!sessionBus.isRunning()) {
        return "session bus: " + sessionBus.errorText().toStdString();
    }
    if (!systemBus.isRunning()) {
        return "system bus: " + systemBus.errorText().toStdString();
    }
    if (!logind) {
        return "the fake logind did not start";
    }
    if (!certificates.isReady()) {
        return "certificates: " + certificates.errorText();
    }
    if (!service || !service->isRunning()) {
        return "stamp service: " + (service ? service->errorText() : std::string("not made"));
    }
    return {};
}

QProcessEnvironment AgentTestBed::environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_ID", "XDG_RUNTIME_DIR",
                             "TALVERIN_SERIAL_FILE", "TALVERIN_CA_FILE"}) {
        environment.remove(QString::fromLatin1(name));
    }
    const auto set = [&](const char* name, const std::string& value) {
        environment.insert(QString::fromLatin1(name), QString::fromStdString(value));
    };
    set("HOME", home.string());
    set("XDG_CONFIG_HOME", (home / ".config").string());
    set("XDG_DATA_HOME", (home / ".local/share").string());
    set("TZ", "Asia/Tokyo");
    set("QT_QPA_PLATFORM", "offscreen");
    set("DBUS_SESSION_BUS_ADDRESS", sessionBus.address().toStdString());
    set("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address().toStdString());
    set("TALVERIN_SERIAL_FILE", serialFile.string());
    set("TALVERIN_CA_FILE", certificates.caFile().string());
    if (service) {
        set("TALVERIN_SERVICE_ORIGIN", service->origin());
    }
    return environment;
}

std::unique_ptr<AgentProcess> AgentTestBed::startAgent() const {
    return startAgent(environment());
}

std::unique_ptr<AgentProcess> AgentTestBed::startAgent(const QProcessEnvironment& environment,
                                                       bool hideHardwareSerial) const {
    QStringList prefix;
    if (hideHardwareSerial) {
        prefix << QStringLiteral(TALVERIN_SOURCE_DIR "/tests/support/without-hardware-serial.sh");
    }
    return std::make_unique<AgentProcess>(environment, prefix);
}

std::vector<std::string> AgentTestBed::rawLogLines() const {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(home / "Library" / "Logs", error)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> AgentTestBed::logMessages() const {
    std::vector<std::string> messages;
    for (const std::string& line : rawLogLines()) {
        // "yyyy/MM/dd HH:mm:ss - " is 22 bytes.
        messages.push_back(line.size() >= 22 ? line.substr(22) : line);
    }
    return messages;
}

bool AgentTestBed::waitForLogLineStartingWith(const std::string& prefix, int timeoutMs) const {
    return QTest::qWaitFor(
        [&] {
            const auto log = logMessages();
            return std::any_of(log.begin(), log.end(),
                               [&](const std::string& line) { return line.starts_with(prefix); });
        },
        timeoutMs);
}

std::vector<ServiceRequest> AgentTestBed::requestsTo(const std::string& path) const {
    std::vector<ServiceRequest> matching;
    for (const auto& request : service->requests().value_or(std::vector<ServiceRequest>{})) {
        if (request.path == path) {
            matching.push_back(request);
        }
    }
    return matching;
}

bool AgentTestBed::waitForRequests(const std::string& path, std::size_t count,
                                   int timeoutMs) const {
    // The agent prints a stamp's lines before it sends it: serve its output first, so that a
    // test reading them after the wait finds them.
    QCoreApplication::processEvents();
    return QTest::qWaitFor([&] { return requestsTo(path).size() >= count; }, timeoutMs);
}

std::filesystem::path AgentTestBed::storeFile() const {
    return home / ".local/share/com.talverin.Timestamp/defaults.sqlite3";
}

std::filesystem::path AgentTestBed::autostartEntry() const {
    return home / ".config/autostart/com.talverin.Timestamp.desktop";
}

std::map<std::string, std::string> AgentTestBed::records() const {
    return recordsIn(storeFile(), SQLITE_OPEN_READONLY);
}

std::map<std::string, std::string> AgentTestBed::recordsIn(const std::filesystem::path& file,
                                                           int openFlags) {
    std::map<std::string, std::string> found;
    sqlite3* database = nullptr;
    if (sqlite3_open_v2(file.c_str(), &database, openFlags, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(database, "SELECT key, CAST(value AS TEXT) FROM defaults", -1,
                               &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                const auto* key = sqlite3_column_text(statement, 0);
                const auto* value = sqlite3_column_text(statement, 1);
                found[reinterpret_cast<const char*>(key)] =
                    value != nullptr ? reinterpret_cast<const char*>(value) : "";
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(database);
    return found;
}

bool AgentTestBed::controlLogind(const QString& method, const QVariantList& arguments) const {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/com/talverin/test/Control"),
        QStringLiteral("com.talverin.test.Login1Control"), method);
    call.setArguments(arguments);
    return systemBus.connection().call(call).type() == QDBusMessage::ReplyMessage;
}

std::vector<std::tuple<std::string, std::string, bool>> AgentTestBed::inhibitors() const {
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/com/talverin/test/Control"),
        QStringLiteral("com.talverin.test.Login1Control"), QStringLiteral("Inhibitors"));
    const QDBusMessage reply = systemBus.connection().call(call);
    std::vector<std::tuple<std::string, std::string, bool>> found;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return found;
    }
    const auto argument = reply.arguments().first().value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        QString what;
        QString who;
        QString why;
        QString mode;
        bool held = false;
        argument.beginStructure();
        argument >> what >> who >> why >> mode >> held;
        argument.endStructure();
        found.emplace_back(what.toStdString(), mode.toStdString(), held);
    }
    argument.endArray();
    return found;
}

bool AgentTestBed::callAgent(const QString& method, const QVariantList& arguments) const {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.talverin.Timestamp"), QStringLiteral("/com/talverin/Timestamp"),
        QStringLiteral("com.talverin.Timestamp1"), method);
    call.setArguments(arguments);
    return sessionBus.connection().call(call, QDBus::Block, 5000).type() ==
           QDBusMessage::ReplyMessage;
}

} // namespace talverin::testing
