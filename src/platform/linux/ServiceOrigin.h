#pragma once

#include <optional>
#include <string>

namespace talverin {

// The origin stamps go to: the environment's TALVERIN_SERVICE_ORIGIN, else the compiled-in one.
// Only an absolute https URL with a host is accepted, or http to a loopback address, with
// nothing after the host and port but an optional "/"; the serial number must never travel in
// clear text or to a place the administrator did not mean.
class ServiceOrigin {
public:
    // The origin without a trailing "/", or nothing when the text is not acceptable.
    static std::optional<std::string> validated(const std::string& text);
    static std::string configuredText();
};

} // namespace talverin
