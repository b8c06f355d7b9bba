#pragma once

#include "ReceivedRequest.h"

#include <QFile>
#include <QList>
#include <QString>

// Every request the service receives, one JSON object per line: in the log file (if any), kept
// for the life of the service, and in memory until the control port clears it.
class RequestLog {
public:
    // An empty file name keeps the log in memory only.
    bool open(const QString& fileName, QString& problem);
    // connection: the number of the connection it came on (see countConnection).
    void record(const ReceivedRequest& request, int connection, const QString& action);
    QByteArray lines() const { return lines_.join(); }
    void clear() { lines_.clear(); }

    // Connections to the stamp API, numbered from 1 in the order they were accepted; clearing the
    // log does not restart the count.
    int countConnection() { return ++connections_; }
    int connections() const { return connections_; }

private:
    int connections_ = 0;
    QFile file_;
    QList<QByteArray> lines_;
};
