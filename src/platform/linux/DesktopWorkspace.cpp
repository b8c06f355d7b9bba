#include "platform/linux/DesktopWorkspace.h"

#include <QDesktopServices>
#include <QUrl>

namespace talverin {

void DesktopWorkspace::openUrl(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::StrictMode));
}

} // namespace talverin
