#pragma once

#include <string>
#include <string_view>

namespace talverin {

bool isValidUtf8(std::string_view bytes);

// The text of bytes that should be UTF-8; every malformed sequence becomes U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

} // namespace talverin
