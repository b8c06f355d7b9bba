#include "app/AppDelegate.h"

namespace talverin {

AppDelegate::AppDelegate(Platform platform, Options options)
    : platform_(platform),
      log_(platform.clock,
           [&systemInfo = platform.systemInfo] { return systemInfo.homeDirectory(); }),
      serviceOrigin_(std::move(options.serviceOrigin)), _launchAtLogin(true), statusBarItem(),
      seirialNumber(), numberOfTimes(options.numberOfTimes), numberOfWaitUseconds(3000000),
      lockTerminate(false), presence_(platform.systemEvents.isScreenLocked()) {}

void AppDelegate::writeLog(const std::string& message) const {
    log_.write(message);
}

std::string AppDelegate::apiBase() const {
    return serviceOrigin_ + apiPath;
}

} // namespace talverin
