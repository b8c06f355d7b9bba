#include "StampServiceProcess.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <algorithm>
#include <cctype>
#include <csignal>

#include <sys/prctl.h>

namespace talverin::testing {

namespace {

constexpr int waitMilliseconds = 10000;

QString qString(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

std::string jsonString(const std::string& text) {
    const QJsonDocument document(QJsonArray{QString::fromStdString(text)});
    const QByteArray array = document.toJson(QJsonDocument::Compact); // ["..."]
    return array.mid(1, array.size() - 2).toStdString();
}

std::string timesField(int times) {
    return times > 0 ? ",\"times\":" + std::to_string(times) : std::string();
}

std::optional<std::uint16_t> portAfterColon(const QByteArray& line) {
    const qsizetype colon = line.lastIndexOf(':');
    if (colon < 0) {
        return std::nullopt;
    }
    bool number = false;
    const uint port = line.mid(colon + 1).trimmed().toUInt(&number);
    if (!number || port == 0 || port > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

bool sameName(const std::string& left, const std::string& right) {
    return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

ServiceRequest requestOf(const QJsonObject& entry) {
    ServiceRequest request;
    request.received = entry.value(u"received").toString().toStdString();
    request.method = entry.value(u"method").toString().toStdString();
    request.target = entry.value(u"target").toString().toLatin1().toStdString();
    request.path = entry.value(u"path").toString().toLatin1().toStdString();
    request.query = entry.value(u"query").toString().toLatin1().toStdString();
    request.action = entry.value(u"action").toString().toStdString();
    request.connection = entry.value(u"connection").toInt();
    for (const QJsonValue header : entry.value(u"headers").toArray()) {
        const QJsonArray pair = header.toArray();
        request.headers.emplace_back(pair.at(0).toString().toLatin1().toStdString(),
                                     pair.at(1).toString().toLatin1().toStdString());
    }
    request.body =
        QByteArray::fromBase64(entry.value(u"bodyBase64").toString().toLatin1()).toStdString();
    return request;
}

} // namespace

TestCertificates::TestCertificates(std::filesystem::path folder) : folder_(std::move(folder)) {
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("/bin/sh"),
                 {qString(StampServiceProcess::makeCaScript()), qString(folder_)});
    if (!script.waitForFinished(30000) || script.exitStatus() != QProcess::NormalExit ||
        script.exitCode() != 0) {
        errorText_ = "make-ca.sh failed: " + script.readAll().toStdString();
        return;
    }
    ready_ = std::filesystem::exists(caFile()) && std::filesystem::exists(serverKey()) &&
             std::filesystem::exists(untrustedKey());
    if (!ready_) {
        errorText_ = "make-ca.sh left files missing in " + folder_.string();
    }
}

std::vector<std::string> ServiceRequest::headerValues(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [headerName, value] : headers) {
        if (sameName(headerName, name)) {
            values.push_back(value);
        }
    }
    return values;
}

void PrintTo(const ServiceRequest& request, std::ostream* stream) {
    *stream << request.method << ' ' << request.target << " -> " << request.action;
}

std::filesystem::path StampServiceProcess::executable() {
    return std::filesystem::path(TALVERIN_BINARY_DIR) / "tools" / "talverin-stamp-service";
}

std::filesystem::path StampServiceProcess::makeCaScript() {
    return std::filesystem::path(TALVERIN_SOURCE_DIR) / "tools" / "stamp-service" / "make-ca.sh";
}

StampServiceProcess::StampServiceProcess(const TestCertificates& certificates)
    : StampServiceProcess(
          Options{certificates.serverCertificate(), certificates.serverKey(), {}, "127.0.0.1", 0}) {
}

StampServiceProcess::StampServiceProcess(const Options& options) : bind_(options.bind) {
    QStringList arguments{QStringLiteral("--cert"), qString(options.certificate),
                          QStringLiteral("--key"),  qString(options.key),
                          QStringLiteral("--bind"), QString::fromStdString(options.bind),
                          QStringLiteral("--port"), QString::number(options.port)};
    if (!options.logFile.empty()) {
        arguments << QStringLiteral("--log") << qString(options.logFile);
    }
    // Its complaints belong in the test's output; its two lines of ports are read here.
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Should the test process die before it can stop the service, the service goes with it.
    process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process_.start(qString(executable()), arguments);
    if (!process_.waitForStarted(waitMilliseconds)) {
        errorText_ =
            "cannot start " + executable().string() + ": " + process_.errorString().toStdString();
        return;
    }
    while (port_ == 0 || controlPort_ == 0) {
        while (!process_.canReadLine()) {
            if (!process_.waitForReadyRead(waitMilliseconds)) {
                errorText_ = "the stamp service did not say where it listens";
                stop();
                return;
            }
        }
        const QByteArray line = process_.readLine();
        if (line.startsWith("listening ")) {
            port_ = portAfterColon(line).value_or(0);
        } else if (line.startsWith("control ")) {
            controlPort_ = portAfterColon(line).value_or(0);
        }
    }
}

StampServiceProcess::~StampServiceProcess() {
    stop();
}

void StampServiceProcess::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(waitMilliseconds)) {
        process_.kill();
        process_.waitForFinished(waitMilliseconds);
    }
}

std::string StampServiceProcess::origin() const {
    const bool ipv6 = bind_.find(':') != std::string::npos;
    return "https://" + (ipv6 ? "[" + bind_ + "]" : bind_) + ":" + std::to_string(port_);
}

// A blocking exchange: no event loop runs, so a test that steps its main queue by hand keeps
// that control while it talks to the service.
std::optional<std::pair<int, std::string>>
StampServiceProcess::control(const char* method, const std::string& path, const std::string& body) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, controlPort_);
    if (!socket.waitForConnected(waitMilliseconds)) {
        return std::nullopt;
    }
    QByteArray request = QByteArray(method) + ' ' + QByteArray::fromStdString(path) +
                         " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(controlPort_) +
                         "\r\nConnection: close\r\nContent-Length: " +
                         QByteArray::number(static_cast<qsizetype>(body.size())) + "\r\n\r\n" +
                         QByteArray::fromStdString(body);
    socket.write(request);
    QByteArray answer;
    // The service closes the connection once it has answered.
    while (socket.waitForReadyRead(waitMilliseconds)) {
        answer += socket.readAll();
    }
    answer += socket.readAll();
    const qsizetype headEnd = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 ") || headEnd < 0) {
        return std::nullopt;
    }
    bool number = false;
    const int status = answer.mid(9, 3).toInt(&number);
    if (!number) {
        return std::nullopt;
    }
    return std::pair{status, answer.mid(headEnd + 4).toStdString()};
}

bool StampServiceProcess::setBehaviour(const std::string& jsonCommand) {
    const auto answered = control("POST", "/behaviour", jsonCommand);
    return answered && answered->first == 200;
}

bool StampServiceProcess::answer(const std::string& path, int status, const std::string& body,
                                 int times) {
    return setBehaviour("{\"path\":" + jsonString(path) +
                        ",\"action\":\"answer\",\"status\":" + std::to_string(status) +
                        ",\"body\":" + jsonString(body) + timesField(times) + "}");
}

bool StampServiceProcess::answerBytes(const std::string& path, int status, const std::string& bytes,
                                      int times) {
    const std::string base64 = QByteArray::fromStdString(bytes).toBase64().toStdString();
    return setBehaviour("{\"path\":" + jsonString(path) +
                        ",\"action\":\"answer\",\"status\":" + std::to_string(status) +
                        ",\"bodyBase64\":\"" + base64 + "\"" + timesField(times) + "}");
}

bool StampServiceProcess::redirect(const std::string& path, const std::string& location, int status,
                                   int times) {
    return setBehaviour("{\"path\":" + jsonString(path) +
                        ",\"action\":\"redirect\",\"status\":" + std::to_string(status) +
                        ",\"location\":" + jsonString(location) + timesField(times) + "}");
}

bool StampServiceProcess::silence(const std::string& path, int times) {
    return setBehaviour("{\"path\":" + jsonString(path) + ",\"action\":\"silence\"" +
                        timesField(times) + "}");
}

bool StampServiceProcess::reset(const std::string& path, int times) {
    return setBehaviour("{\"path\":" + jsonString(path) + ",\"action\":\"reset\"" +
                        timesField(times) + "}");
}

bool StampServiceProcess::clearBehaviours() {
    const auto answered = control("POST", "/behaviour/reset");
    return answered && answered->first == 200;
}

std::optional<std::vector<ServiceRequest>> StampServiceProcess::requests() {
    const auto answered = control("GET", "/requests");
    if (!answered || answered->first != 200) {
        return std::nullopt;
    }
    std::vector<ServiceRequest> requests;
    for (const QByteArray& line : QByteArray::fromStdString(answered->second).split('\n')) {
        if (line.trimmed().isEmpty()) {
            continue;
        }
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject()) {
            return std::nullopt;
        }
        requests.push_back(requestOf(document.object()));
    }
    return requests;
}

std::optional<int> StampServiceProcess::connections() {
    const auto answered = control("GET", "/connections");
    if (!answered || answered->first != 200) {
        return std::nullopt;
    }
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(answered->second));
    return document.object().value(u"connections").toInt();
}

bool StampServiceProcess::clearRequests() {
    const auto answered = control("POST", "/requests/clear");
    return answered && answered->first == 200;
}

} // namespace talverin::testing
