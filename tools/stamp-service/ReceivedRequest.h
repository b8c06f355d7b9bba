#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One HTTP request exactly as it arrived: raw names and values, in order, duplicates kept.
struct ReceivedRequest {
    QByteArray method;
    QByteArray target; // path and query, undecoded
    QByteArray version;
    HeaderList headers;
    QByteArray body;
    QDateTime received;
    // The same moment in microseconds since the Unix epoch, for latencies measured against other
    // processes' clocks on this machine.
    qint64 receivedMicroseconds = 0;

    QByteArray path() const;
    QByteArray query() const; // without the '?'; empty when there is none
    // The first header of that name, compared without regard to case.
    QByteArray header(const QByteArray& name) const;
    bool wantsClose() const;
};
