#pragma once

#include <optional>
#include <string>

namespace talverin {

enum class AlertStyle { Warning = 0, Informational = 1, Critical = 2 };

struct Alert {
    std::optional<std::string> messageText;
    std::optional<std::string> informativeText;
    std::optional<AlertStyle> style; // unset: the platform's default look
};

// Modal alerts with the platform's single default button. runModal returns once the user has
// dismissed the alert; without a display it returns at once.
class Alerts {
public:
    virtual ~Alerts() = default;
    virtual void runModal(const Alert& alert) = 0;
};

} // namespace talverin
