#include "app/AppDelegate.h"

namespace talverin {

void AppDelegate::printUnsent() {
    const std::string arrivalLabel = traitsOf(StampKind::arrival).label;
    const std::string leavingLabel = traitsOf(StampKind::leaving).label;
    // A snapshot: records added while the scan runs wait for the next one.
    for (const auto& [key, value] : platform_.defaults.dictionaryRepresentation()) {
        if (isInFlight(key)) {
            continue; // its transfer is still under way
        }
        const bool isArrival = key.find(arrivalLabel) != std::string::npos;
        const bool isLeaving = key.find(leavingLabel) != std::string::npos;
        if ((isArrival || isLeaving) && value.text) {
            writeLog("printUnsent： " + key + " / " + *value.text);
        }
        if (isArrival) {
            arriveWithUnSentKey(key, [] {});
        }
        if (isLeaving) {
            leaveWithUnSentKey(key, [] {});
        }
    }
}

} // namespace talverin
