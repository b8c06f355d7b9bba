#pragma once

#include "platform/Alerts.h"

#include <QHash>
#include <QMessageBox>
#include <QPointer>
#include <QString>

namespace talverin {

// Modal message boxes; with no display they are written to standard error and return at once.
// A box asked for while the same box is on screen is raised instead of opened again.
class QtAlerts final : public Alerts {
public:
    explicit QtAlerts(bool headless) : headless_(headless) {}
    void runModal(const Alert& alert) override;

private:
    bool headless_;
    QHash<QString, QPointer<QMessageBox>> shown_;
};

} // namespace talverin
