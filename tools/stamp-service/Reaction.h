#pragma once

#include "ReceivedRequest.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// What the service does with one request.
struct Reaction {
    enum class Kind {
        Answer,   // status, headers and body
        Redirect, // a 3xx status with a Location header
        Silence,  // never answers; the connection stays open until the client gives up
        Reset,    // drops the connection with a TCP reset, at once or part-way through an answer
    };

    static constexpr qint64 maximumBodyBytes = 128 * 1024 * 1024;

    Kind kind = Kind::Answer;
    int status = 200;
    HeaderList headers;
    QByteArray body;
    QByteArray location;
    int delayMilliseconds = 0;
    // Reset only: how much of the answer (status line, headers, body) goes out before the reset;
    // nothing for a reset without any answer.
    std::optional<qint64> resetAfterBytes;

    // Reads a reaction from a control command; nothing, with a reason, when the command is wrong.
    static std::optional<Reaction> fromJson(const QJsonObject& command, QString& problem);
    // A short description for the request log, such as "answer 500" or "reset".
    QString description() const;
};
