#include "platform/linux/LinuxSerialNumberSource.h"

#include <QByteArray>
#include <QDBusMessage>
#include <QFile>

#include <algorithm>

namespace talverin {

namespace {

// A serial number is one short line; a file much longer than that holds something else.
constexpr qint64 maximumSerialFileSize = 4096;

bool isTrailingFiller(char character) {
    // Firmware files end in a line feed, device-tree strings in a NUL.
    switch (character) {
    case '\0':
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
        return true;
    default:
        return false;
    }
}

// A blank serial would identify no machine: the next source is asked instead.
std::optional<std::string> nonBlank(std::string serial) {
    if (std::all_of(serial.begin(), serial.end(), isTrailingFiller)) {
        return std::nullopt;
    }
    return serial;
}

std::optional<std::string> readSerialFile(const QString& path) {
    if (path.isEmpty()) {
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray content = file.read(maximumSerialFileSize + 1);
    if (file.error() != QFileDevice::NoError || content.size() > maximumSerialFileSize) {
        return std::nullopt;
    }
    std::string serial = content.toStdString();
    while (!serial.empty() && isTrailingFiller(serial.back())) {
        serial.pop_back();
    }
    return nonBlank(std::move(serial));
}

} // namespace

LinuxSerialNumberSource::LinuxSerialNumberSource(QDBusConnection systemBus,
                                                 LinuxSerialNumberSourceOptions options)
    : systemBus_(std::move(systemBus)), options_(std::move(options)) {}

std::optional<std::string> LinuxSerialNumberSource::read() {
    if (auto serial = readSerialFile(qEnvironmentVariable(fileVariable))) {
        return serial;
    }
    if (auto serial = readSerialFile(options_.firmwareSerialFile)) {
        return serial;
    }
    if (auto serial = askHostnamed()) {
        return serial;
    }
    return readSerialFile(options_.deviceTreeSerialFile);
}

std::optional<std::string> LinuxSerialNumberSource::askHostnamed() {
    if (!systemBus_.isConnected()) {
        return std::nullopt;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.hostname1"), QStringLiteral("/org/freedesktop/hostname1"),
        QStringLiteral("org.freedesktop.hostname1"), QStringLiteral("GetHardwareSerial"));
    // The agent starts at login with nobody watching: a password prompt would only stall it.
    call.setInteractiveAuthorizationAllowed(false);
    const QDBusMessage reply =
        systemBus_.call(call, QDBus::Block, static_cast<int>(options_.hostnamedTimeout.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return std::nullopt;
    }
    const QVariant serial = reply.arguments().constFirst();
    if (serial.metaType() != QMetaType::fromType<QString>()) {
        return std::nullopt;
    }
    return nonBlank(serial.toString().toStdString());
}

} // namespace talverin
