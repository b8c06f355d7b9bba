#include "log/Utf8.h"

namespace talverin {

namespace {

// Length of the well-formed sequence at position, or 0 when it is malformed (overlong forms,
// surrogates and code points above U+10FFFF included).
std::size_t sequenceLength(std::string_view bytes, std::size_t position) {
    const auto byteAt = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    const unsigned char lead = byteAt(position);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (position + length > bytes.size()) {
        return 0;
    }
    const unsigned char second = byteAt(position + 1);
    if (second < low || second > high) {
        return 0;
    }
    for (std::size_t index = 2; index < length; ++index) {
        const unsigned char next = byteAt(position + index);
        if (next < 0x80 || next > 0xBF) {
            return 0;
        }
    }
    return length;
}

} // namespace

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t position = 0; position < bytes.size();) {
        const std::size_t length = sequenceLength(bytes, position);
        if (length == 0) {
            return false;
        }
        position += length;
    }
    return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t position = 0; position < bytes.size();) {
        const std::size_t length = sequenceLength(bytes, position);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++position;
        } else {
            text.append(bytes.substr(position, length));
            position += length;
        }
    }
    return text;
}

std::string_view utf8Prefix(std::string_view bytes, std::size_t longest) {
    if (bytes.size() <= longest) {
        return bytes;
    }
    const auto isContinuation = [&](std::size_t index) {
        return (static_cast<unsigned char>(bytes[index]) & 0xC0) == 0x80;
    };
    // A character has at most three bytes after its first; a longer run is malformed anyway.
    std::size_t end = longest;
    for (int step = 0; step < 3 && end > 0 && isContinuation(end); ++step) {
        --end;
    }
    return bytes.substr(0, end);
}

} // namespace talverin
