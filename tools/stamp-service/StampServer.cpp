#include "StampServer.h"

#include "HttpConnection.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <iostream>

using namespace Qt::Literals::StringLiterals;

namespace {

const QByteArray jsonType = "application/json; charset=utf-8";

bool isStampPath(const QByteArray& path) {
    return path == "/api/osx/v1/stamp/arrival" || path == "/api/osx/v1/stamp/leaving";
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// What the service says when no behaviour is set for the path.
Reaction ownAnswer(const ReceivedRequest& request) {
    Reaction reaction;
    reaction.headers = {{"Content-Type", jsonType}};
    if (!isStampPath(request.path())) {
        reaction.status = 404;
        reaction.body = json({{u"result"_s, u"not found"_s}});
    } else if (request.method != "POST") {
        reaction.status = 405;
        reaction.headers.append(qMakePair(QByteArray("Allow"), QByteArray("POST")));
        reaction.body = json({{u"result"_s, u"method not allowed"_s}});
    } else {
        const QUrlQuery query(QString::fromUtf8(request.query()));
        reaction.body = json({{u"result"_s, u"ok"_s},
                              {u"tim"_s, query.queryItemValue(u"tim"_s, QUrl::FullyDecoded)}});
    }
    return reaction;
}

} // namespace

StampServer::StampServer(BehaviourTable& behaviours, RequestLog& log, const QSslConfiguration& tls)
    : behaviours_(behaviours), log_(log) {
    server_.setSslConfiguration(tls);
    connect(&server_, &QTcpServer::pendingConnectionAvailable, this, &StampServer::acceptPending);
    connect(&server_, &QSslServer::errorOccurred, this,
            [](QSslSocket* socket, QAbstractSocket::SocketError) {
                std::cerr << "stamp service: " << socket->errorString().toStdString() << std::endl;
            });
}

bool StampServer::listen(const QHostAddress& address, quint16 port, QString& problem) {
    if (!server_.listen(address, port)) {
        problem = server_.errorString();
        return false;
    }
    return true;
}

void StampServer::acceptPending() {
    HttpConnection::acceptPending(
        server_,
        [this](HttpConnection& connection, const ReceivedRequest& request) {
            handle(connection, request);
        },
        this, [this] { return log_.countConnection(); });
}

void StampServer::handle(HttpConnection& connection, const ReceivedRequest& request) {
    const Reaction reaction = behaviours_.next(request.path()).value_or(ownAnswer(request));
    log_.record(request, connection.number(), reaction.description());
    switch (reaction.kind) {
    case Reaction::Kind::Answer:
        connection.respond(reaction.status, reaction.headers, reaction.body,
                           reaction.delayMilliseconds);
        break;
    case Reaction::Kind::Redirect: {
        HeaderList headers = reaction.headers;
        headers.append(qMakePair(QByteArray("Location"), reaction.location));
        connection.respond(reaction.status, headers, reaction.body, reaction.delayMilliseconds);
        break;
    }
    case Reaction::Kind::Silence:
        connection.holdWithoutAnswer();
        break;
    case Reaction::Kind::Reset:
        if (reaction.resetAfterBytes) {
            connection.respondPartlyThenReset(reaction.status, reaction.headers, reaction.body,
                                              *reaction.resetAfterBytes,
                                              reaction.delayMilliseconds);
        } else {
            connection.reset();
        }
        break;
    }
}
