#pragma once

#include <optional>
#include <string>

namespace talverin {

// The text as a URL, or nothing when it holds a character that no URL may carry unescaped (a
// space, a control character, non-ASCII text, a stray "%"). Nothing is escaped on the way: a
// stored time that is not a time must not reach the service in disguise.
std::optional<std::string> makeUrl(const std::string& text);

// Whether a value may stand in an HTTP header as it is: no control characters, so that nothing
// can end the header early or smuggle another one in.
bool isSafeHeaderValue(const std::string& value);

} // namespace talverin
