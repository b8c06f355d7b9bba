#include "records/StampTime.h"

#include "records/DateFormat.h"

#include <algorithm>

namespace talverin {

bool isStampTime(const std::string& text) {
    if (text.size() != 14 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    // Reading it back must give the same text: 31 April or 25 o'clock name no moment.
    const auto instant = parseDate(stampTimePattern, text);
    return instant && formatDate(stampTimePattern, *instant) == text;
}

} // namespace talverin
