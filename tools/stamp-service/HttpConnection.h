#pragma once

#include "HttpRequestReader.h"

#include <QObject>
#include <QQueue>

#include <functional>

class QTcpServer;
class QTcpSocket;

// One client connection, TLS or plain. Requests are handed to the handler one at a time, in the
// order they arrived; the next one waits until the current one has been answered.
class HttpConnection final : public QObject {
    Q_OBJECT

public:
    using RequestHandler = std::function<void(HttpConnection&, const ReceivedRequest&)>;

    // Takes the socket over; the connection deletes itself when the socket closes.
    HttpConnection(QTcpSocket* socket, RequestHandler handler, QObject* parent, int number = 0);

    // Takes over every connection waiting on server, each answered through handler and numbered
    // by nextNumber, if given.
    static void acceptPending(QTcpServer& server, const RequestHandler& handler, QObject* parent,
                              const std::function<int()>& nextNumber = {});

    int number() const { return number_; }

    // Answers the current request, after delayMilliseconds if that is not 0.
    void respond(int status, HeaderList headers, QByteArray body, int delayMilliseconds = 0);
    // Drops the connection with a TCP reset instead of an answer.
    void reset();
    // Sends the first byteCount bytes of the answer, then drops the connection with a TCP reset,
    // as a service that fails in the middle of its answer does.
    void respondPartlyThenReset(int status, HeaderList headers, QByteArray body, qint64 byteCount,
                                int delayMilliseconds = 0);
    // Never answers the current request, nor any later one on this connection.
    void holdWithoutAnswer() { silent_ = true; }

private:
    void readAvailable();
    void handleNext();
    void write(int status, const HeaderList& headers, const QByteArray& body);
    QByteArray answerBytes(int status, const HeaderList& headers, const QByteArray& body) const;
    void writePartlyThenReset(const QByteArray& bytes);

    QTcpSocket* socket_;
    RequestHandler handler_;
    HttpRequestReader reader_;
    QQueue<ReceivedRequest> waiting_;
    bool busy_ = false;
    bool silent_ = false;
    bool closeAfterAnswer_ = false;
    bool headRequest_ = false;
    int number_ = 0;
};
