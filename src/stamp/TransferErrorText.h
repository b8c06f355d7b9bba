#pragma once

#include "platform/UrlSession.h"

#include <optional>
#include <string>

namespace talverin {

// "Optional(...)" with the error's kind, code and text, or "nil" when there is no error.
std::string describeOptionalError(const std::optional<TransferError>& error);

} // namespace talverin
