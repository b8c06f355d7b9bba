#include "stamp/TransferErrorText.h"

namespace talverin {

std::string describeOptionalError(const std::optional<TransferError>& error) {
    if (!error) {
        return "nil";
    }
    return "Optional(" + error->kind + " (code " + std::to_string(error->code) +
           "): " + error->text + ")";
}

} // namespace talverin
