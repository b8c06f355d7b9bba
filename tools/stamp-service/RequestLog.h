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
    void record(const ReceivedRequest& request, const QString& action);
    QByteArray lines() const { return lines_.join(); }
    void clear() { lines_.clear(); }

private:
    QFile file_;
    QList<QByteArray> lines_;
};
