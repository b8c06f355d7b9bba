#include "ControlServer.h"

#include "HttpConnection.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

using namespace Qt::Literals::StringLiterals;

namespace {

const HeaderList jsonType = {{"Content-Type", "application/json; charset=utf-8"}};

QByteArray result(const QString& text) {
    return QJsonDocument(QJsonObject{{u"result"_s, text}}).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

ControlServer::ControlServer(BehaviourTable& behaviours, RequestLog& log)
    : behaviours_(behaviours), log_(log) {
    connect(&server_, &QTcpServer::pendingConnectionAvailable, this, &ControlServer::acceptPending);
}

bool ControlServer::listen(quint16 port, QString& problem) {
    // Whoever can reach this port can change what the service answers: loopback only.
    if (!server_.listen(QHostAddress::LocalHost, port)) {
        problem = server_.errorString();
        return false;
    }
    return true;
}

void ControlServer::acceptPending() {
    HttpConnection::acceptPending(
        server_,
        [this](HttpConnection& connection, const ReceivedRequest& request) {
            handle(connection, request);
        },
        this);
}

void ControlServer::handle(HttpConnection& connection, const ReceivedRequest& request) {
    const QByteArray path = request.path();
    if (request.method == "POST" && path == "/behaviour") {
        setBehaviour(connection, request);
    } else if (request.method == "POST" && path == "/behaviour/reset") {
        behaviours_.clear();
        connection.respond(200, jsonType, result(u"ok"_s));
    } else if (request.method == "GET" && path == "/requests") {
        connection.respond(200, {{"Content-Type", "application/x-ndjson"}}, log_.lines());
    } else if (request.method == "POST" && path == "/requests/clear") {
        log_.clear();
        connection.respond(200, jsonType, result(u"ok"_s));
    } else if (request.method == "GET" && path == "/connections") {
        QJsonObject answer{{u"result"_s, u"ok"_s}, {u"connections"_s, log_.connections()}};
        connection.respond(200, jsonType,
                           QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
    } else if (request.method == "GET" && path == "/health") {
        connection.respond(200, jsonType, result(u"ok"_s));
    } else {
        connection.respond(404, jsonType, result(u"unknown control command"_s));
    }
}

void ControlServer::setBehaviour(HttpConnection& connection, const ReceivedRequest& request) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (!document.isObject()) {
        connection.respond(400, jsonType,
                           result(u"not a JSON object: "_s + parseError.errorString()));
        return;
    }
    const QJsonObject command = document.object();
    const QByteArray path = command.value(u"path"_s).toString().toUtf8();
    if (!path.startsWith('/')) {
        connection.respond(400, jsonType, result(u"path must start with /"_s));
        return;
    }
    QString problem;
    const auto reaction = Reaction::fromJson(command, problem);
    if (!reaction) {
        connection.respond(400, jsonType, result(problem));
        return;
    }
    behaviours_.set(path, *reaction, command.value(u"times"_s).toInt(0));
    connection.respond(200, jsonType, result(u"ok"_s));
}
