#pragma once

#include "BehaviourTable.h"
#include "RequestLog.h"

#include <QHostAddress>
#include <QTcpServer>

class HttpConnection;

// Plain HTTP on loopback, for the tests and demos that drive the service: set reactions per path,
// read and clear the request log. The commands are described in README.md.
class ControlServer final : public QObject {
    Q_OBJECT

public:
    ControlServer(BehaviourTable& behaviours, RequestLog& log);
    bool listen(quint16 port, QString& problem);
    quint16 port() const { return server_.serverPort(); }

private:
    void acceptPending();
    void handle(HttpConnection& connection, const ReceivedRequest& request);
    void setBehaviour(HttpConnection& connection, const ReceivedRequest& request);

    BehaviourTable& behaviours_;
    RequestLog& log_;
    QTcpServer server_;
};
