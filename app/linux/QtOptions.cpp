#include "QtOptions.h"

#include <functional>
#include <set>
#include <string_view>

namespace zb {

SplitArguments SplitQtOptions(const std::vector<std::string>& arguments) {
    static const std::set<std::string, std::less<>> withValue = {
        "-platform", "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry",
        "-qwindowtitle", "-qwindowicon", "-session", "-style", "-stylesheet"};
    static const std::set<std::string, std::less<>> alone = {"-reverse", "-testability", "-widgetcount"};
    SplitArguments split;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view option = arguments[i];
        if (option.starts_with("--")) option.remove_prefix(1);
        if (alone.contains(option) || option.starts_with("-style=") || option.starts_with("-stylesheet=") ||
            option.starts_with("-qmljsdebugger=")) {
            split.qtOptions.push_back(arguments[i]);
            continue;
        }
        if (withValue.contains(option)) {
            split.qtOptions.push_back(arguments[i]);
            if (i + 1 < arguments.size()) split.qtOptions.push_back(arguments[++i]);
            continue;
        }
        split.program.push_back(arguments[i]);
    }
    return split;
}

}  // namespace zb
