#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace talverin {

using Instant = std::chrono::system_clock::time_point;

// Writes an instant under a date pattern (letters y M d H h m s a, everything else literal) in the
// Gregorian calendar, with ASCII digits, in the system time zone.
std::string formatDate(const std::string& pattern, Instant instant);

// Reads text written under the same kind of pattern. The whole text must match: exact digit
// counts, every field in range (the day must exist in its month), and with "a" the hour is read
// on the 12-hour clock and turned into the 24-hour one. Nothing when the text does not match.
std::optional<Instant> parseDate(const std::string& pattern, const std::string& text);

} // namespace talverin
