#pragma once

#include <string>
#include <string_view>

namespace talverin {

bool isValidUtf8(std::string_view bytes);

// The text of bytes that should be UTF-8; every malformed sequence becomes U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

// The first bytes, at most longest of them, never ending inside a character: a line cut in the
// middle of one would no longer be UTF-8, and the log would drop it whole.
std::string_view utf8Prefix(std::string_view bytes, std::size_t longest);

} // namespace talverin
