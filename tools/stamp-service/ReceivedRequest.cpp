#include "ReceivedRequest.h"

QByteArray ReceivedRequest::path() const {
    const qsizetype question = target.indexOf('?');
    return question < 0 ? target : target.left(question);
}

QByteArray ReceivedRequest::query() const {
    const qsizetype question = target.indexOf('?');
    return question < 0 ? QByteArray() : target.mid(question + 1);
}

QByteArray ReceivedRequest::header(const QByteArray& name) const {
    for (const auto& [headerName, value] : headers) {
        if (headerName.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

bool ReceivedRequest::wantsClose() const {
    const QByteArray connection = header("Connection").toLower();
    if (version == "HTTP/1.0") {
        return !connection.contains("keep-alive");
    }
    return connection.contains("close");
}
