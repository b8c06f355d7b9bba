#include "Screenshots.h"

#include <QtGlobal>

namespace talverin::testing {

std::optional<std::filesystem::path> keepScreenshot(DesktopDriver& driver, const QRect& area,
                                                    const std::string& name) {
    const std::filesystem::path folder(TALVERIN_SCREENSHOT_DIR);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::filesystem::path file = folder / (name + ".png");
    if (!driver.saveCapture(area, file)) {
        return std::nullopt;
    }
    if (qEnvironmentVariable("TALVERIN_UPDATE_SCREENSHOTS") == QStringLiteral("1")) {
        const std::filesystem::path published =
            std::filesystem::path(TALVERIN_SOURCE_DIR) / "docs" / "screenshots";
        std::filesystem::create_directories(published, error);
        std::filesystem::copy_file(file, published / file.filename(),
                                   std::filesystem::copy_options::overwrite_existing, error);
        if (error) {
            return std::nullopt;
        }
    }
    return file;
}

} // namespace talverin::testing
