#pragma once

#include "platform/Alerts.h"

namespace talverin {

// Modal message boxes; with no display they are written to standard error and return at once.
class QtAlerts final : public Alerts {
public:
    explicit QtAlerts(bool headless) : headless_(headless) {}
    void runModal(const Alert& alert) override;

private:
    bool headless_;
};

} // namespace talverin
