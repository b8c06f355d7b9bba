#include "platform/linux/ServiceOrigin.h"

#include <QHostAddress>
#include <QUrl>

namespace talverin {

std::optional<std::string> ServiceOrigin::validated(const std::string& text) {
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty() || !url.userInfo().isEmpty() ||
        url.hasQuery() || url.hasFragment() || (!url.path().isEmpty() && url.path() != u'/')) {
        return std::nullopt;
    }
    const QString scheme = url.scheme();
    if (scheme != QStringLiteral("https")) {
        const QHostAddress address(url.host());
        const bool loopback = url.host() == QStringLiteral("localhost") || address.isLoopback();
        if (scheme != QStringLiteral("http") || !loopback) {
            return std::nullopt;
        }
    }
    std::string origin = text;
    if (origin.ends_with('/')) {
        origin.pop_back();
    }
    return origin;
}

std::string ServiceOrigin::configuredText() {
    const QByteArray fromEnvironment = qgetenv("TALVERIN_SERVICE_ORIGIN");
    if (!fromEnvironment.isEmpty()) {
        return fromEnvironment.toStdString();
    }
    return TALVERIN_DEFAULT_SERVICE_ORIGIN;
}

} // namespace talverin
