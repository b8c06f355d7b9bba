#pragma once

#include "BehaviourTable.h"
#include "RequestLog.h"

#include <QHostAddress>
#include <QSslServer>

class HttpConnection;

// The stamp API over TLS: POST /api/osx/v1/stamp/arrival and /api/osx/v1/stamp/leaving answer
// 200 with a short JSON body unless the behaviour table says otherwise; every other path is 404.
class StampServer final : public QObject {
    Q_OBJECT

public:
    StampServer(BehaviourTable& behaviours, RequestLog& log, const QSslConfiguration& tls);
    bool listen(const QHostAddress& address, quint16 port, QString& problem);
    quint16 port() const { return server_.serverPort(); }

private:
    void acceptPending();
    void handle(HttpConnection& connection, const ReceivedRequest& request);

    BehaviourTable& behaviours_;
    RequestLog& log_;
    QSslServer server_;
};
