#include "records/DateFormat.h"

#include <ctime>
#include <limits>
#include <string_view>

namespace talverin {

namespace {

bool isFieldLetter(char letter) {
    switch (letter) {
    case 'y':
    case 'M':
    case 'd':
    case 'H':
    case 'h':
    case 'm':
    case 's':
    case 'a':
        return true;
    default:
        return false;
    }
}

// Length of the run of identical letters that starts at position.
std::size_t runLength(std::string_view pattern, std::size_t position) {
    std::size_t end = position;
    while (end < pattern.size() && pattern[end] == pattern[position]) {
        ++end;
    }
    return end - position;
}

void appendPadded(std::string& out, long value, std::size_t width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0) {
        out += '-';
    }
    if (digits.size() < width) {
        out.append(width - digits.size(), '0');
    }
    out += digits;
}

bool isLeapYear(long year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(long year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

} // namespace

std::string formatDate(const std::string& pattern, Instant instant) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(instant.time_since_epoch());
    const std::time_t time = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    localtime_r(&time, &local);

    std::string out;
    std::string_view view(pattern);
    for (std::size_t position = 0; position < view.size();) {
        const char letter = view[position];
        if (!isFieldLetter(letter)) {
            out += letter;
            ++position;
            continue;
        }
        const std::size_t width = runLength(view, position);
        position += width;
        switch (letter) {
        case 'y': {
            const long year = local.tm_year + 1900L;
            appendPadded(out, width == 2 ? year % 100 : year, width);
            break;
        }
        case 'M':
            appendPadded(out, local.tm_mon + 1, width);
            break;
        case 'd':
            appendPadded(out, local.tm_mday, width);
            break;
        case 'H':
            appendPadded(out, local.tm_hour, width);
            break;
        case 'h':
            appendPadded(out, local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12, width);
            break;
        case 'm':
            appendPadded(out, local.tm_min, width);
            break;
        case 's':
            appendPadded(out, local.tm_sec, width);
            break;
        case 'a':
            out += local.tm_hour < 12 ? "AM" : "PM";
            break;
        default:
            break;
        }
    }
    return out;
}

std::optional<Instant> parseDate(const std::string& pattern, const std::string& text) {
    long year = 1970;
    int month = 1;
    int day = 1;
    int hour24 = 0;
    int hour12 = -1;
    int minute = 0;
    int second = 0;
    int dayPeriod = -1; // 0 AM, 1 PM

    std::string_view view(pattern);
    std::size_t at = 0;
    for (std::size_t position = 0; position < view.size();) {
        const char letter = view[position];
        if (!isFieldLetter(letter)) {
            if (at >= text.size() || text[at] != letter) {
                return std::nullopt;
            }
            ++at;
            ++position;
            continue;
        }
        const std::size_t width = runLength(view, position);
        position += width;
        if (letter == 'a') {
            const std::string_view rest = std::string_view(text).substr(at);
            if (rest.starts_with("AM")) {
                dayPeriod = 0;
            } else if (rest.starts_with("PM")) {
                dayPeriod = 1;
            } else {
                return std::nullopt;
            }
            at += 2;
            continue;
        }
        if (text.size() - at < width) {
            return std::nullopt;
        }
        long value = 0;
        for (std::size_t index = 0; index < width; ++index) {
            const char digit = text[at + index];
            if (digit < '0' || digit > '9') {
                return std::nullopt;
            }
            // A number too long for any field is no date.
            if (value > (std::numeric_limits<long>::max() - 9) / 10) {
                return std::nullopt;
            }
            value = value * 10 + (digit - '0');
        }
        at += width;
        const int small = static_cast<int>(value < 100000 ? value : 100000);
        switch (letter) {
        case 'y':
            year = value;
            break;
        case 'M':
            if (small < 1 || small > 12) {
                return std::nullopt;
            }
            month = small;
            break;
        case 'd':
            day = small;
            break;
        case 'H':
            if (small > 23) {
                return std::nullopt;
            }
            hour24 = small;
            break;
        case 'h':
            if (small < 1 || small > 12) {
                return std::nullopt;
            }
            hour12 = small;
            break;
        case 'm':
            if (small > 59) {
                return std::nullopt;
            }
            minute = small;
            break;
        case 's':
            if (small > 59) {
                return std::nullopt;
            }
            second = small;
            break;
        default:
            break;
        }
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    if (day < 1 || day > daysInMonth(year, month)) {
        return std::nullopt;
    }
    if (hour12 >= 0) {
        hour24 = hour12 % 12 + (dayPeriod == 1 ? 12 : 0);
    }
    if (year - 1900 > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }

    std::tm fields{};
    fields.tm_year = static_cast<int>(year - 1900);
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour24;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    const std::time_t time = std::mktime(&fields);
    if (time == static_cast<std::time_t>(-1) && !(fields.tm_year == 69 && fields.tm_mon == 11)) {
        return std::nullopt;
    }
    // An instant holds about 292 years either side of 1970; a date beyond them would come back as
    // some other time.
    constexpr auto reach =
        std::chrono::duration_cast<std::chrono::seconds>(Instant::duration::max()).count();
    if (time > reach || time < -reach) {
        return std::nullopt;
    }
    return std::chrono::system_clock::from_time_t(time);
}

} // namespace talverin
