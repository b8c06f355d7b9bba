#include "records/StampTime.h"

#include <algorithm>

namespace talverin {

namespace {

int number(const std::string& text, std::size_t position, std::size_t length) {
    return std::stoi(text.substr(position, length));
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysIn(int year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

} // namespace

// By its text alone: the zone the stamp was made in is not known here, and a time that one zone
// skips at a clock change is real in another.
bool isStampTime(const std::string& text) {
    if (text.size() != 14 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const int year = number(text, 0, 4), month = number(text, 4, 2), day = number(text, 6, 2);
    return month >= 1 && month <= 12 && day >= 1 && day <= daysIn(year, month) &&
           number(text, 8, 2) <= 23 && number(text, 10, 2) <= 59 && number(text, 12, 2) <= 59;
}

std::string minuteText(const std::string& stampTime) {
    const auto part = [&](std::size_t position, std::size_t length) {
        return stampTime.substr(position, length);
    };
    return part(0, 4) + "/" + part(4, 2) + "/" + part(6, 2) + " " + part(8, 2) + ":" + part(10, 2);
}

} // namespace talverin
