#pragma once

#include "platform/SystemInfo.h"

#include <string>

namespace talverin {

// The kernel release, the compiled-in version, the local time zone and the home folder.
class LinuxSystemInfo final : public SystemInfo {
public:
    OperatingSystemVersion operatingSystemVersion() override;
    std::string shortVersionString() override;
    std::string bundleVersion() override;
    std::string timeZoneIdentifier() override;
    bool isDaylightSavingTime(std::chrono::system_clock::time_point instant) override;
    std::string homeDirectory() override;

    // The leading "major.minor.patch" of a kernel release such as "6.1.0-18-amd64"; missing
    // parts are 0.
    static OperatingSystemVersion parseKernelRelease(const std::string& release);
    // The zone name for a TZ value, a zoneinfo path or an /etc/timezone line.
    static std::string zoneNameFrom(const std::string& value);
};

} // namespace talverin
