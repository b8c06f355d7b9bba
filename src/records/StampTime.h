#pragma once

#include <string>

namespace talverin {

// Local time as 14 ASCII digits: the time a stamp carries and its record holds.
inline constexpr const char* stampTimePattern = "yyyyMMddHHmmss";

// Whether text is a stamp time of a real moment: 14 digits that name a date and a time of day
// that exist, and nothing else.
bool isStampTime(const std::string& text);

} // namespace talverin
