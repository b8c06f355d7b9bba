#include "platform/linux/LinuxSystemInfo.h"

#include "platform/linux/HomeFolder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>

#include <ctime>
#include <sys/utsname.h>
#include <unistd.h>

namespace talverin {

OperatingSystemVersion LinuxSystemInfo::parseKernelRelease(const std::string& release) {
    static const QRegularExpression leadingNumbers(
        QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const auto match = leadingNumbers.match(QString::fromStdString(release));
    OperatingSystemVersion version;
    if (match.hasMatch()) {
        version.majorVersion = match.captured(1).toLong();
        version.minorVersion = match.captured(2).toLong();
        version.patchVersion = match.captured(3).toLong();
    }
    return version;
}

OperatingSystemVersion LinuxSystemInfo::operatingSystemVersion() {
    utsname names{};
    if (uname(&names) != 0) {
        return {};
    }
    return parseKernelRelease(names.release);
}

std::string LinuxSystemInfo::shortVersionString() {
    return TALVERIN_SHORT_VERSION;
}

std::string LinuxSystemInfo::bundleVersion() {
    return TALVERIN_BUILD_NUMBER;
}

std::string LinuxSystemInfo::zoneNameFrom(const std::string& value) {
    QString zone = QString::fromStdString(value).trimmed();
    if (zone.startsWith(u':')) {
        zone.remove(0, 1);
    }
    const qsizetype zoneinfo = zone.indexOf(QStringLiteral("zoneinfo/"));
    if (zoneinfo >= 0) {
        zone = zone.mid(zoneinfo + 9);
    }
    return zone.toStdString();
}

std::string LinuxSystemInfo::timeZoneIdentifier() {
    if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
        return zoneNameFrom(tz);
    }
    const QFileInfo localtime(QStringLiteral("/etc/localtime"));
    if (localtime.isSymLink()) {
        const std::string zone = zoneNameFrom(localtime.symLinkTarget().toStdString());
        if (!zone.empty()) {
            return zone;
        }
    }
    QFile timezone(QStringLiteral("/etc/timezone"));
    if (timezone.open(QIODevice::ReadOnly)) {
        const std::string zone = zoneNameFrom(timezone.readLine().toStdString());
        if (!zone.empty()) {
            return zone;
        }
    }
    return "UTC";
}

bool LinuxSystemInfo::isDaylightSavingTime(std::chrono::system_clock::time_point instant) {
    const std::time_t time = std::chrono::system_clock::to_time_t(instant);
    std::tm local{};
    localtime_r(&time, &local);
    return local.tm_isdst > 0;
}

std::string LinuxSystemInfo::homeDirectory() {
    if (std::string home = homeFolder(); !home.empty()) {
        return home;
    }
    return QDir::homePath().toStdString();
}

} // namespace talverin
