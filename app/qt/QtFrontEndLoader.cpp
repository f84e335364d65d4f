// Loading the Qt front end module.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "QtFrontEnd.h"
#include "StandardErrorLines.h"

namespace zb {
namespace {

void writeErrorLine(const std::string& line) { StandardError().line(line); }

// The folder of the running program.
std::string programFolder() {
    std::vector<char> path(PATH_MAX + 1);
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), PATH_MAX);
    if (n <= 0) return ".";
    const std::string exe(path.data(), static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : exe.substr(0, slash);
}

}  // namespace

std::vector<std::string> WithoutQtOptions(const std::vector<std::string>& arguments) {
    // Qt's own options, as its application objects take them on every platform;
    // "--name" is taken as "-name", and the style options also as "-style=NAME".
    static const std::set<std::string, std::less<>> withValue = {
        "-platform", "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry",
        "-qwindowtitle", "-qwindowicon", "-session", "-style", "-stylesheet"};
    static const std::set<std::string, std::less<>> alone = {"-reverse", "-testability", "-widgetcount"};
    std::vector<std::string> left;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view option = arguments[i];
        if (option.starts_with("--")) option.remove_prefix(1);
        if (alone.contains(option) || option.starts_with("-style=") || option.starts_with("-stylesheet=") ||
            option.starts_with("-qmljsdebugger=")) {
            continue;
        }
        if (withValue.contains(option)) {
            ++i;  // and its value, if any
            continue;
        }
        left.push_back(arguments[i]);
    }
    return left;
}

std::unique_ptr<QtFrontEnd> LoadQtFrontEnd(int* argc, char** argv) {
    const std::string folder = programFolder();
    // Beside the program in the build tree; where the package puts it otherwise.
    std::string path = folder + "/" ZB_QT_MODULE_NAME;
    if (::access(path.c_str(), F_OK) != 0) path = folder + "/" ZB_QT_MODULE_FROM_PROGRAM "/" ZB_QT_MODULE_NAME;
    std::string why;
    // Never closed: Qt does not take being unloaded.
    if (void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); module == nullptr) {
        const char* error = ::dlerror();
        why = error != nullptr ? error : path;
    } else if (const auto create =
                   reinterpret_cast<CreateQtFrontEndFunction>(::dlsym(module, kCreateQtFrontEndName));
               create == nullptr) {
        why = path + ": no " + kCreateQtFrontEndName;
    } else {
        try {
            return std::unique_ptr<QtFrontEnd>(create(argc, argv, writeErrorLine));
        } catch (const std::exception& error) {
            why = error.what();
        } catch (...) {
            why = "the window could not be set up";
        }
    }
    StandardError().line("No window: " + why);
    return nullptr;
}

}  // namespace zb
