#pragma once

#include "platform/Console.h"

#include <mutex>

namespace talverin {

// Standard output, flushed after every line so that a pipe sees each line as it happens.
class StdoutConsole final : public Console {
public:
    void printLine(const std::string& line) override;

private:
    std::mutex mutex_;
};

} // namespace talverin
