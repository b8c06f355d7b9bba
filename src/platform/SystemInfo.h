#pragma once

#include <chrono>
#include <string>

namespace talverin {

struct OperatingSystemVersion {
    long majorVersion = 0;
    long minorVersion = 0;
    long patchVersion = 0;
};

// Facts about the machine, the user and the build.
class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    virtual OperatingSystemVersion operatingSystemVersion() = 0;
    virtual std::string shortVersionString() = 0;
    virtual std::string bundleVersion() = 0;
    virtual std::string timeZoneIdentifier() = 0;
    virtual bool isDaylightSavingTime(std::chrono::system_clock::time_point instant) = 0;
    virtual std::string homeDirectory() = 0;
};

} // namespace talverin
