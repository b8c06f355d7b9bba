#include "Reaction.h"

#include <QJsonArray>

using namespace Qt::Literals::StringLiterals;

std::optional<Reaction> Reaction::fromJson(const QJsonObject& command, QString& problem) {
    Reaction reaction;
    const QString action = command.value(u"action"_s).toString(u"answer"_s);
    if (action == u"answer") {
        reaction.kind = Kind::Answer;
    } else if (action == u"redirect") {
        reaction.kind = Kind::Redirect;
        reaction.status = 302;
        reaction.location = command.value(u"location"_s).toString().toUtf8();
        if (reaction.location.isEmpty()) {
            problem = u"redirect needs a location"_s;
            return std::nullopt;
        }
    } else if (action == u"silence") {
        reaction.kind = Kind::Silence;
    } else if (action == u"reset") {
        reaction.kind = Kind::Reset;
    } else {
        problem = u"unknown action: "_s + action;
        return std::nullopt;
    }

    reaction.status = command.value(u"status"_s).toInt(reaction.status);
    if (reaction.status < 100 || reaction.status > 999) {
        problem = u"status must have three digits"_s;
        return std::nullopt;
    }
    if (command.contains(u"bodyBase64"_s)) {
        const auto decoded =
            QByteArray::fromBase64Encoding(command.value(u"bodyBase64"_s).toString().toLatin1(),
                                           QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded) {
            problem = u"bodyBase64 is not base64"_s;
            return std::nullopt;
        }
        reaction.body = *decoded;
    } else {
        reaction.body = command.value(u"body"_s).toString().toUtf8();
    }
    // Large answers are asked for as a short body repeated, since commands are small.
    const qint64 repeat = command.value(u"repeat"_s).toInteger(1);
    if (repeat < 1 || repeat * reaction.body.size() > maximumBodyBytes) {
        problem = u"repeat must be at least 1 and the body at most 128 MiB"_s;
        return std::nullopt;
    }
    reaction.body = reaction.body.repeated(repeat);
    const QJsonObject headers = command.value(u"headers"_s).toObject();
    for (auto header = headers.begin(); header != headers.end(); ++header) {
        reaction.headers.append(
            qMakePair(header.key().toLatin1(), header.value().toString().toLatin1()));
    }
    reaction.delayMilliseconds = command.value(u"delayMs"_s).toInt(0);
    if (reaction.delayMilliseconds < 0) {
        problem = u"delayMs must not be negative"_s;
        return std::nullopt;
    }
    if (command.contains(u"afterBytes"_s)) {
        const qint64 afterBytes = command.value(u"afterBytes"_s).toInteger(-1);
        if (reaction.kind != Kind::Reset || afterBytes < 0) {
            problem = u"afterBytes must be a count of bytes, given with reset"_s;
            return std::nullopt;
        }
        reaction.resetAfterBytes = afterBytes;
    }
    return reaction;
}

QString Reaction::description() const {
    switch (kind) {
    case Kind::Answer:
        return u"answer "_s + QString::number(status);
    case Kind::Redirect:
        return u"redirect "_s + QString::number(status) + u" "_s + QString::fromUtf8(location);
    case Kind::Silence:
        return u"silence"_s;
    case Kind::Reset:
        if (resetAfterBytes) {
            return u"reset after "_s + QString::number(*resetAfterBytes) + u" bytes"_s;
        }
        return u"reset"_s;
    }
    return {};
}
