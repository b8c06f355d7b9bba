#pragma once

#include <optional>
#include <string>

namespace talverin {

// The machine's hardware serial number, or nothing when no source has one.
class SerialNumberSource {
public:
    virtual ~SerialNumberSource() = default;
    virtual std::optional<std::string> read() = 0;
};

} // namespace talverin
