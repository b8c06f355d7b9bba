#include "RequestLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

using namespace Qt::Literals::StringLiterals;

namespace {

// Header bytes as Latin-1, so that every byte survives the trip through JSON text.
QJsonArray headersOf(const ReceivedRequest& request) {
    QJsonArray headers;
    for (const auto& [name, value] : request.headers) {
        headers.append(QJsonArray{QString::fromLatin1(name), QString::fromLatin1(value)});
    }
    return headers;
}

} // namespace

bool RequestLog::open(const QString& fileName, QString& problem) {
    if (fileName.isEmpty()) {
        return true;
    }
    file_.setFileName(fileName);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        problem = file_.errorString();
        return false;
    }
    return true;
}

void RequestLog::record(const ReceivedRequest& request, int connection, const QString& action) {
    QJsonObject entry{
        {u"received"_s, request.received.toString(Qt::ISODateWithMs)},
        {u"receivedMicroseconds"_s, request.receivedMicroseconds},
        {u"connection"_s, connection},
        {u"method"_s, QString::fromLatin1(request.method)},
        {u"target"_s, QString::fromLatin1(request.target)},
        {u"path"_s, QString::fromLatin1(request.path())},
        {u"query"_s, QString::fromLatin1(request.query())},
        {u"version"_s, QString::fromLatin1(request.version)},
        {u"headers"_s, headersOf(request)},
        {u"bodyBase64"_s, QString::fromLatin1(request.body.toBase64())},
        {u"action"_s, action},
    };
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(request.body);
    if (!utf8.hasError()) {
        entry.insert(u"body"_s, text);
    }
    QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact);
    line += '\n';
    lines_.append(line);
    if (file_.isOpen()) {
        // Written before the request is answered, so a client that has its answer finds the line.
        file_.write(line);
    }
}
