#include "FaultTestBed.h"

#include <QDBusConnectionInterface>
#include <QTest>

#include <gmock/gmock.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

namespace talverin::testing {

std::string timeOfKey(const std::string& key) {
    const auto underscore = key.rfind('_');
    return underscore == std::string::npos ? std::string() : key.substr(underscore + 1);
}

std::vector<std::string> pathsOfKey(const std::string& key) {
    std::vector<std::string> paths;
    if (key.find(arrivalLabel) != std::string::npos) {
        paths.push_back(arrivalPath);
    }
    if (key.find(leavingLabel) != std::string::npos) {
        paths.push_back(leavingPath);
    }
    return paths;
}

bool isAcceptance(const ServiceRequest& request) {
    return request.action == "answer 200" ||
           (request.path == leavingPath && request.action == "answer 201");
}

std::vector<ServiceRequest> FaultTestBed::requests() const {
    return service->requests().value_or(std::vector<ServiceRequest>{});
}

bool FaultTestBed::hasLogLineStartingWith(const std::string& prefix) const {
    const auto log = logMessages();
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& line) { return line.starts_with(prefix); });
}

bool FaultTestBed::waitForRecordCount(std::size_t count, int timeoutMs) const {
    return QTest::qWaitFor([&] { return records().size() == count; }, timeoutMs);
}

std::map<std::string, std::string>
FaultTestBed::recordsInCopyOf(const std::filesystem::path& file) {
    // SQLite follows symbolic links, /proc/PID/root among them, out of another process's mounts:
    // it reads a copy of the file and its log instead.
    TemporaryFolder copy;
    const std::filesystem::path copied = copy.path() / "store";
    std::error_code error;
    std::filesystem::copy_file(file, copied, error);
    std::filesystem::copy_file(file.string() + "-wal", copied.string() + "-wal", error);
    // Read and write: a copy's log is replayed through a shared-memory index of its own.
    return AgentTestBed::recordsIn(copied, SQLITE_OPEN_READWRITE);
}

std::unique_ptr<AgentProcess> FaultTestBed::startAcceptedAgent() const {
    auto agent = startAgent();
    EXPECT_TRUE(agent->waitForLine(QString::fromStdString(arrivalLabel)))
        << agent->outputLines().join(u'\n').toStdString() << agent->errorText().toStdString();
    // The acceptance's log line is written on the delivery thread just after that console line.
    EXPECT_TRUE(waitForLogLineStartingWith("開始時の打刻に成功しました:"));
    return agent;
}

std::unique_ptr<AgentProcess> FaultTestBed::startAgent(const DiskFaults& faults) const {
    return std::make_unique<AgentProcess>(faults.applyTo(environment()), DiskFaults::wrapper());
}

bool FaultTestBed::waitUntilNoAgentIsRunning(int timeoutMs) const {
    const QString name = QStringLiteral("com.talverin.Timestamp");
    return QTest::qWaitFor(
        [&] { return !sessionBus.connection().interface()->isServiceRegistered(name).value(); },
        timeoutMs);
}

bool FaultTestBed::replaceService(const std::filesystem::path& certificate,
                                  const std::filesystem::path& key) {
    const std::uint16_t port = service->port();
    service->stop();
    service = std::make_unique<StampServiceProcess>(
        StampServiceProcess::Options{certificate, key, {}, "127.0.0.1", port});
    return service->isRunning();
}

bool FaultTestBed::replaceService() {
    return replaceService(certificates.serverCertificate(), certificates.serverKey());
}

std::filesystem::path FaultTestBed::otherHostCertificate() const {
    return certificates.caFile().parent_path() / "otherhost.pem";
}

std::filesystem::path FaultTestBed::otherHostKey() const {
    return certificates.caFile().parent_path() / "otherhost-key.pem";
}

std::vector<std::string>
FaultTestBed::stampsNeverAccepted(const std::set<std::string>& keys) const {
    const auto received = requests();
    std::set<std::pair<std::string, std::string>> accepted;
    for (const auto& request : received) {
        if (isAcceptance(request)) {
            accepted.emplace(request.path, request.query);
        }
    }
    std::vector<std::string> missing;
    for (const std::string& key : keys) {
        const std::string query = "tim=" + timeOfKey(key);
        for (const std::string& path : pathsOfKey(key)) {
            if (accepted.count({path, query}) != 0) {
                continue;
            }
            std::string seen;
            for (const auto& request : received) {
                if (request.path == path && request.query == query) {
                    seen += " [" + request.action + "]";
                }
            }
            missing.push_back(key + " at " + path + " (received:" + seen + ")");
        }
    }
    return missing;
}

std::string FaultTestBed::recentActivity(AgentProcess& agent) const {
    std::string text = "log:\n";
    const auto log = logMessages();
    for (auto line = log.size() > 8 ? log.end() - 8 : log.begin(); line != log.end(); ++line) {
        text += "  " + line->substr(0, 200) + "\n";
    }
    text += "console:\n";
    const QStringList lines = agent.outputLines();
    for (qsizetype index = std::max<qsizetype>(0, lines.size() - 16); index < lines.size();
         ++index) {
        text += "  " + lines[index].left(200).toStdString() + "\n";
    }
    text += "service:\n";
    for (const auto& request : requests()) {
        text += "  " + request.method + " " + request.target + " -> " + request.action + "\n";
    }
    return text;
}

void waitForTheNextSecond() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto intoSecond = duration_cast<milliseconds>(now - floor<seconds>(now));
    QTest::qWait(static_cast<int>(1000 - intoSecond.count()) + 20);
}

std::string fileBytes(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

std::vector<std::string> folderListing(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace talverin::testing
