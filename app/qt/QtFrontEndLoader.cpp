// Loading the Qt front end module.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <exception>
#include <string>
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

std::unique_ptr<QtFrontEnd> LoadQtFrontEnd(int* argc, char** argv) {
    const std::string folder = programFolder();
    // Beside the program in the build tree; where the package puts it otherwise.
    const std::string candidates[] = {folder + "/" ZB_QT_MODULE_NAME,
                                      folder + "/" ZB_QT_MODULE_FROM_PROGRAM "/" ZB_QT_MODULE_NAME};
    std::string why;
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) != 0) continue;
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* error = ::dlerror();
            why = error != nullptr ? error : path;
            break;
        }
        // Never closed: Qt does not take being unloaded.
        const auto create = reinterpret_cast<CreateQtFrontEndFunction>(::dlsym(module, kCreateQtFrontEndName));
        if (create == nullptr) {
            why = path + ": no " + kCreateQtFrontEndName;
            break;
        }
        try {
            return std::unique_ptr<QtFrontEnd>(create(argc, argv, writeErrorLine));
        } catch (const std::exception& error) {
            why = error.what();
        } catch (...) {
            why = "the window could not be set up";
        }
        break;
    }
    if (why.empty()) why = std::string(ZB_QT_MODULE_NAME) + " not found beside the program or in " + folder + "/" ZB_QT_MODULE_FROM_PROGRAM;
    StandardError().line("No window: " + why);
    return nullptr;
}

}  // namespace zb
