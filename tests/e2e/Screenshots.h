#pragma once

#include "DesktopDriver.h"

#include <QRect>

#include <filesystem>
#include <optional>
#include <string>

namespace talverin::testing {

// Saves a picture of part of the screen as NAME.png in the build's screenshot folder and, when
// TALVERIN_UPDATE_SCREENSHOTS=1, also in docs/screenshots of the source tree, which the README
// shows. The saved file, or nothing when no picture could be taken.
std::optional<std::filesystem::path> keepScreenshot(DesktopDriver& driver, const QRect& area,
                                                    const std::string& name);

} // namespace talverin::testing
