#include "platform/linux/HomeFolder.h"

#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace talverin {

std::string accountField(char* passwd::*field) {
    // getpwuid's static buffer would be shared by the main and the delivery thread.
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && entry.*field != nullptr) {
        return entry.*field;
    }
    return {};
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    return accountField(&passwd::pw_dir);
}

} // namespace talverin
