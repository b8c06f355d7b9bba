// A libFuzzer target over what turns untrusted text into a stamp: the date patterns, the time of
// an unsent record and the stamp URL with its serial header. The first byte of an input picks the
// subject, the second the time zone; the rest is the subject's own.

#include "FuzzPlatform.h"
#include "app/AppDelegate.h"
#include "records/DateFormat.h"
#include "stamp/StampUrl.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace talverin::fuzzing {
namespace {

const char* const stampPattern = "yyyyMMddHHmmss";
const char* const twelveHourPatterns[] = {"yyyyMMddhmmss a", "yyyyMMddhhmmss a"};

// A property that does not hold is a crash, so that libFuzzer keeps the input that broke it.
void require(bool holds, const char* property, std::string_view input) {
    if (holds) {
        return;
    }
    std::fprintf(stderr, "property broken: %s\ninput: \"", property);
    for (const char c : input) {
        std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
    }
    std::fprintf(stderr, "\"\n");
    std::abort();
}

// Zones without daylight saving, with the usual kind, and with odd half-hour shifts.
void useZone(std::uint8_t choice) {
    static const char* const zones[] = {"UTC0", "Asia/Tokyo", "America/New_York", "Europe/Berlin",
                                        "Australia/Lord_Howe"};
    static int current = -1;
    const int wanted = choice % 5;
    if (wanted != current) {
        setenv("TZ", zones[wanted], 1);
        tzset();
        current = wanted;
    }
}

bool isDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Seconds since 1970 from eight bytes, kept within the years an instant can hold, 1700 to 2250.
Instant instantFrom(std::string_view bytes) {
    std::uint64_t raw = 0;
    std::memcpy(&raw, bytes.data(), std::min<std::size_t>(bytes.size(), sizeof raw));
    constexpr std::int64_t first = -8520336000;    // 1700-01-01
    constexpr std::int64_t span = 17514316800 + 1; // to 2254-12-31
    const auto seconds = first + static_cast<std::int64_t>(raw % static_cast<std::uint64_t>(span));
    return Instant(std::chrono::seconds(seconds));
}

// Writing an instant and reading it back gives the same text, under every pattern the agent
// uses; a 12-hour text reads as the 24-hour time of the same instant.
void dateRoundTrips(std::string_view data, std::string_view input) {
    const Instant instant = instantFrom(data);
    const std::string stamp = formatDate(stampPattern, instant);
    require(stamp.size() == 14 && isDigits(stamp), "a stamp time is 14 digits", input);
    for (const char* pattern : {stampPattern, "yyyy/MM/dd HH:mm:ss", "yyyyMMddhhmmss a"}) {
        const std::string text = formatDate(pattern, instant);
        const auto read = parseDate(pattern, text);
        require(read.has_value(), "written text reads back", input);
        require(formatDate(pattern, *read) == text, "read text writes the same", input);
        require(formatDate(stampPattern, *read) == stamp, "the same wall time", input);
    }
    const std::string oneDigitHour = formatDate(twelveHourPatterns[0], instant);
    const auto read = parseDate(twelveHourPatterns[0], oneDigitHour);
    // With one h the hour takes exactly one digit: 10, 11 and 12 o'clock do not read.
    require(read.has_value() == (oneDigitHour.find(' ') == 13), "one-digit hours read", input);
    if (read) {
        require(formatDate(stampPattern, *read) == stamp, "one-digit hour, same time", input);
    }
    // The "yyyy-MM-dd" of the log file's name is the date part of the stamp.
    const std::string day = formatDate("yyyy-MM-dd", instant);
    require(day == stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2),
            "the log's day is the stamp's day", input);
}

// Any text under any pattern of the supported letters: no crash, and what reads writes back to
// a text that reads as the same instant.
void anyPatternAnyText(std::string_view data, std::string_view input) {
    const auto split = data.find('\n');
    if (split == std::string_view::npos) {
        return;
    }
    const std::string pattern(data.substr(0, split));
    const std::string text(data.substr(split + 1));
    const auto read = parseDate(pattern, text);
    (void)formatDate(pattern, instantFrom(text));
    if (!read) {
        return;
    }
    const std::string written = formatDate(stampPattern, *read);
    const auto again = parseDate(stampPattern, written);
    require(again.has_value(), "a read instant writes a readable stamp", input);
    require(formatDate(stampPattern, *again) == written, "and reads back the same", input);
}

// The time an unsent record sends: the stored text itself, or the 24-hour form of a 12-hour
// value. The store is never written back, and a missing record sends an empty time.
void unsentTime(std::string_view data, std::string_view input) {
    FuzzPlatform platform;
    AppDelegate delegate(platform.platform(), AppDelegate::Options{"https://talverin.example"});
    const std::string key = "開始時の打刻_20240401083005";
    const std::string stored(data);
    platform.store.values[key] = stored;

    const std::string sent = delegate.unsentStampTime(key);
    require(platform.store.values[key] == stored, "the record is never rewritten", input);
    std::optional<Instant> twelveHour;
    for (const char* pattern : twelveHourPatterns) {
        if (!twelveHour) {
            twelveHour = parseDate(pattern, stored);
        }
    }
    if (twelveHour) {
        require(sent == formatDate(stampPattern, *twelveHour), "12-hour values turn", input);
        require(sent.size() == 14 && isDigits(sent), "into a stamp time", input);
    } else {
        require(sent == stored, "everything else goes out as stored", input);
    }
    platform.store.values.clear();
    require(delegate.unsentStampTime(key).empty(), "a missing record sends no time", input);
}

bool isUrlCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("-._~:/?#[]@!$&'()*+,;=%", c) != nullptr);
}

bool hasOnlyWholeEscapes(std::string_view text) {
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '%') {
            continue;
        }
        if (index + 2 >= text.size() ||
            !std::isxdigit(static_cast<unsigned char>(text[index + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[index + 2]))) {
            return false;
        }
        index += 2;
    }
    return true;
}

// The stamp URL and its header, end to end through a sender: a request is made exactly when the
// URL is made of URL characters and the serial of no control characters, and it carries the
// stored time unchanged and the serial as it is. Whatever the answer, only an acceptance
// removes the record.
void stampRequest(std::string_view data, std::string_view input) {
    const auto split = data.find('\n');
    const std::string serial(data.substr(0, std::min(split, data.size())));
    const std::string stored(split == std::string_view::npos ? "" : data.substr(split + 1));
    const bool safeSerial = std::all_of(serial.begin(), serial.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte != 0x7F;
    });
    require(isSafeHeaderValue(serial) == safeSerial, "header values without controls", input);

    const std::string origin = "https://talverin.example";
    const std::string text = origin + "/api/osx/v1/stamp/leaving?tim=" + stored;
    const auto url = makeUrl(text);
    const bool urlCharacters = std::all_of(text.begin(), text.end(), isUrlCharacter);
    require(url.has_value() == (urlCharacters && hasOnlyWholeEscapes(text)),
            "a URL is made of URL characters", input);
    require(!url || *url == text, "and is the text unchanged", input);

    FuzzPlatform platform;
    platform.quiet.serial = serial;
    AppDelegate delegate(platform.platform(), AppDelegate::Options{origin});
    delegate.applicationDidFinishLaunching();
    platform.session.tasks.clear();
    const std::string key = "終了時の打刻_x";
    platform.store.values[key] = stored;
    delegate.leaveWithUnSentKey(key, [] {});

    const std::string sent = delegate.unsentStampTime(key);
    const bool sendable = safeSerial && makeUrl(origin + "/api/osx/v1/stamp/leaving?tim=" + sent);
    require(platform.session.tasks.size() == (sendable ? 1u : 0u), "sent exactly when it can be",
            input);
    if (!sendable) {
        require(platform.store.values.count(key) == 1, "an unsent stamp keeps its record", input);
        return;
    }
    const HttpRequest& request = platform.session.tasks.front().request;
    require(request.url == origin + "/api/osx/v1/stamp/leaving?tim=" + sent, "the stored time",
            input);
    require(request.method == "POST" && request.headers.size() == 1 &&
                request.headers.front() ==
                    std::pair<std::string, std::string>("X-OSX-NUMBER", serial),
            "the serial as it is", input);

    // An answer made of the input's first bytes.
    const int status =
        100 + static_cast<int>(static_cast<unsigned char>(stored.empty() ? 0 : stored[0])) % 500;
    TransferResult result;
    result.body = stored;
    result.response = HttpResponse{true, status};
    platform.session.tasks.front().completion(result);
    const bool accepted = status == 200 || status == 201;
    require(platform.store.values.count(key) == (accepted ? 0u : 1u),
            "only an acceptance removes the record", input);
}

} // namespace
} // namespace talverin::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    using namespace talverin::fuzzing;
    if (size < 2) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    useZone(bytes[1]);
    const std::string_view data = input.substr(2);
    switch (bytes[0] % 4) {
    case 0:
        dateRoundTrips(data, input);
        break;
    case 1:
        anyPatternAnyText(data, input);
        break;
    case 2:
        unsentTime(data, input);
        break;
    default:
        stampRequest(data, input);
        break;
    }
    return 0;
}
