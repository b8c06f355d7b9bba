#include "platform/linux/ToolkitArguments.h"

#include <string>
#include <string_view>

namespace talverin {

namespace {

// Qt 6.4's own options, from QGuiApplication, QApplication, the xcb platform and
// QCoreApplication, each between spaces. Each may also be written with two dashes.
constexpr std::string_view flags =
    " -reverse -testability -nograb -dograb -widgetcount -qdevel -qdebug ";
constexpr std::string_view withValue =
    " -platformpluginpath -platform -platformtheme -qwindowgeometry -geometry -qwindowtitle -title"
    " -qwindowicon -icon -plugin -session -style -stylesheet -display -name -visual"
    " -qmljsdebugger ";
constexpr std::string_view withJoinedValue = " -style= -stylesheet= -qmljsdebugger= ";

bool isOneOf(const std::string& option, std::string_view names) {
    return !option.empty() && names.find(' ' + option + ' ') != std::string_view::npos;
}

} // namespace

QStringList ToolkitArguments::removedFrom(const QStringList& arguments) {
    QStringList kept;
    for (qsizetype index = 0; index < arguments.size(); ++index) {
        std::string option = arguments[index].toStdString();
        if (option.starts_with("--")) {
            option.erase(0, 1);
        }
        const bool toolkit = index > 0 && option.starts_with('-');
        if (toolkit && (isOneOf(option, flags) ||
                        isOneOf(option.substr(0, option.find('=') + 1), withJoinedValue))) {
            continue;
        }
        if (toolkit && isOneOf(option, withValue) && index + 1 < arguments.size()) {
            ++index;
            continue;
        }
        kept << arguments[index];
    }
    return kept;
}

} // namespace talverin
