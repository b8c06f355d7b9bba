// A libFuzzer target over what turns untrusted text into a stamp: the date patterns, and a stored
// time with a serial through a sender. The first byte of an input picks the subject, the second
// the time zone; the rest is the subject's own.

#include "FakePlatform.h"
#include "app/AppDelegate.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace talverin::testing {
namespace {

constexpr auto stamp = "yyyyMMddHHmmss", h = "yyyyMMddhmmss a", hh = "yyyyMMddhhmmss a";
const std::string leavingUrl = "https://talverin.example/api/osx/v1/stamp/leaving?tim=";
// Zones without daylight saving, with the usual kind, and with odd half-hour shifts.
const char* const zones[] = {"UTC0", "Asia/Tokyo", "America/New_York", "Europe/Berlin",
                             "Australia/Lord_Howe"};
const char* zone = zones[0];

// A property that does not hold is a crash, whose stack names it; libFuzzer keeps the input.
const auto require = [](bool holds) { holds ? void() : std::abort(); };

// A stamp time by its text alone, whatever the zone: 14 digits naming a date and a time of day.
bool isStampTime(const std::string& text) {
    unsigned y = 0, mo = 0, d = 0, hours = 0, minutes = 0, seconds = 0;
    using namespace std::chrono;
    return text.size() == 14 && text.find_first_not_of("0123456789") == text.npos &&
           std::sscanf(text.c_str(), "%4u%2u%2u%2u%2u%2u", &y, &mo, &d, &hours, &minutes,
                       &seconds) == 6 &&
           year_month_day(year(static_cast<int>(y)), month(mo), day(d)).ok() && hours < 24 &&
           minutes < 60 && seconds < 60;
}

// Seconds since 1970 from eight bytes, kept within the years an instant can hold, 1700 to 2254.
Instant instantFrom(std::string_view bytes) {
    std::uint64_t raw = 0;
    std::memcpy(&raw, bytes.data(), std::min(bytes.size(), sizeof raw));
    return Instant(
        std::chrono::seconds(-8520336000 + static_cast<std::int64_t>(raw % 17514316801u)));
}

std::pair<std::string, std::string> split(std::string_view data) {
    const auto end = std::min(data.find('\n'), data.size());
    return {std::string(data.substr(0, end)),
            std::string(data.substr(std::min(end + 1, data.size())))};
}

// An instant written under any pattern the agent uses reads back as the same text and wall time
// (with one h, 10, 11 and 12 o'clock do not read), and the log file's day is the stamp's.
void dateRoundTrips(std::string_view data) {
    const Instant instant = instantFrom(data);
    const std::string time = formatDate(stamp, instant);
    require(isStampTime(time));
    require(formatDate("yyyy-MM-dd", instant) ==
            time.substr(0, 4) + "-" + time.substr(4, 2) + "-" + time.substr(6, 2));
    for (const char* pattern : {stamp, "yyyy/MM/dd HH:mm:ss", hh, h}) {
        const std::string text = formatDate(pattern, instant);
        const auto read = parseDate(pattern, text);
        require(read.has_value() == (pattern != h || text.find(' ') == 13));
        require(!read || (formatDate(pattern, *read) == text && formatDate(stamp, *read) == time));
    }
}

// Any text under any pattern: no crash, and what reads writes a stamp time that reads back.
void anyPatternAnyText(std::string_view data) {
    const auto [pattern, text] = split(data);
    (void)formatDate(pattern, instantFrom(text));
    const auto read = data.find('\n') != data.npos ? parseDate(pattern, text) : std::nullopt;
    require(!read || isStampTime(formatDate(stamp, *read)));
}

// Through a sender, a request is made exactly when the stored value gives the time of a real
// moment and the serial has no control characters, and carries that time and the serial as they
// are; a stamp not sent keeps its record, and of the answers only an acceptance removes it.
void stampRequest(std::string_view data) {
    const auto [serial, stored] = split(data);
    const bool safeSerial = std::none_of(serial.begin(), serial.end(),
                                         [](char c) { return (c & 0xFF) < 0x20 || c == 0x7F; });
    FakePlatform fake(zone);
    fake.serial = serial;
    AppDelegate delegate(fake.platform(), {"https://talverin.example", 0});
    delegate.applicationDidFinishLaunching();
    fake.requests.clear();
    fake.transfers.clear();
    fake.store = {{"終了時の打刻_x", stored}};
    delegate.leaveWithUnSentKey("終了時の打刻_x", [] {});
    const std::string sent = delegate.unsentStampTime("終了時の打刻_x");
    const bool sendable = safeSerial && isStampTime(sent);
    require(fake.requests.size() == (sendable ? 1u : 0u) && fake.store.size() == 1);
    if (sendable) {
        require(fake.requests[0].method == "POST" && fake.requests[0].url == leavingUrl + sent);
        require(fake.requests[0].headers ==
                decltype(HttpRequest::headers){{"X-OSX-NUMBER", serial}});
        const int status = 100 + (stored.empty() ? 0 : stored[0] & 0xFF) % 500; // from the input
        fake.answer({stored, HttpResponse{true, status}, std::nullopt});
        require(fake.store.size() == (status == 200 || status == 201 ? 0u : 1u));
    }
}

} // namespace
} // namespace talverin::testing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    using namespace talverin::testing;
    if (size >= 2) {
        zone = zones[bytes[1] % 5];
        const ScopedTimeZone inZone(zone);
        static void (*const subjects[])(std::string_view) = {
            dateRoundTrips, anyPatternAnyText, // then a stored time alone, or after a serial
            [](std::string_view stored) { stampRequest("C02\n" + std::string(stored)); },
            stampRequest};
        subjects[bytes[0] % 4]({reinterpret_cast<const char*>(bytes) + 2, size - 2});
    }
    return 0;
}
