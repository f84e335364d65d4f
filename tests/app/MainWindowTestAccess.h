// What the tests of the window's logic reach beyond the program's interface: the
// connection (to close the port under the run), the lines the run parses, and the
// list each run hands to the parser.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "MainWindowCode.h"

namespace zb {

struct TMainWindowTestAccess {
    static ZbBootloader& bootloader(TMainWindow& window) { return *window.Bootloader; }
    static void setUpdateImage(TMainWindow& window, std::span<const std::string_view> lines) {
        window.updateImage_ = lines;
    }
    static void observeParse(TMainWindow& window,
                             std::function<void(const std::vector<std::string>&)> observer) {
        window.parseObserver_ = std::move(observer);
    }
};

}  // namespace zb
