#pragma once

#include <string>

namespace talverin {

// Local time as 14 ASCII digits: the time a stamp carries and its record holds.
inline constexpr const char* stampTimePattern = "yyyyMMddHHmmss";

// Whether text is a stamp time: 14 digits naming a calendar date and a time of day (hours 00–23,
// minutes and seconds 00–59), and nothing else.
bool isStampTime(const std::string& text);

// A stamp time as "yyyy/MM/dd HH:mm", for people to read.
std::string minuteText(const std::string& stampTime);

} // namespace talverin
