#include "platform/linux/StdoutConsole.h"

#include <cstdio>

namespace talverin {

void StdoutConsole::printLine(const std::string& line) {
    const std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace talverin
