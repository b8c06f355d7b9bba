#pragma once

#include "platform/SerialNumberSource.h"

#include <QDBusConnection>
#include <QString>

#include <chrono>
#include <optional>
#include <string>
#include <utility>

namespace talverin {

struct LinuxSerialNumberSourceOptions {
    QString firmwareSerialFile = QStringLiteral("/sys/class/dmi/id/product_serial");
    QString deviceTreeSerialFile = QStringLiteral("/proc/device-tree/serial-number");
    // hostnamed is started on demand; this bounds the wait at start-up.
    std::chrono::milliseconds hostnamedTimeout{3000};
};

// The machine's serial number from the first source that has one: the file named by
// TALVERIN_SERIAL_FILE, the firmware's DMI table, hostnamed, the device tree.
class LinuxSerialNumberSource final : public SerialNumberSource {
public:
    static constexpr const char* fileVariable = "TALVERIN_SERIAL_FILE";

    LinuxSerialNumberSource(QDBusConnection systemBus, LinuxSerialNumberSourceOptions options);
    explicit LinuxSerialNumberSource(QDBusConnection systemBus)
        : LinuxSerialNumberSource(std::move(systemBus), LinuxSerialNumberSourceOptions{}) {}

    std::optional<std::string> read() override;

private:
    std::optional<std::string> askHostnamed();

    QDBusConnection systemBus_;
    LinuxSerialNumberSourceOptions options_;
};

} // namespace talverin
