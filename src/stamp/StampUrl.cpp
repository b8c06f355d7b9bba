#include "stamp/StampUrl.h"

#include <cstring>

namespace talverin {

namespace {

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isUrlCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    // The unreserved marks, then the generic and sub-delimiters of URI syntax.
    return c != '\0' && std::strchr("-._~:/?#[]@!$&'()*+,;=", c) != nullptr;
}

} // namespace

std::optional<std::string> makeUrl(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char c = text[index];
        if (c == '%') {
            if (index + 2 >= text.size() || !isHexDigit(text[index + 1]) ||
                !isHexDigit(text[index + 2])) {
                return std::nullopt;
            }
            index += 2;
            continue;
        }
        if (!isUrlCharacter(c)) {
            return std::nullopt;
        }
    }
    return text;
}

bool isSafeHeaderValue(const std::string& value) {
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace talverin
