// The Qt options of the command line (-platform NAME, -style NAME, -reverse, ...),
// which belong to the window program.
#pragma once

#include <string>
#include <vector>

namespace zb {

struct SplitArguments {
    std::vector<std::string> program;    // the program's own: the port first
    std::vector<std::string> qtOptions;  // for the window program, in their order
};

// Qt's options, as its application object takes them on every platform: "--name"
// is taken as "-name", the style options also as "-style=NAME"; a value option at
// the end of the line is taken without its value.
SplitArguments SplitQtOptions(const std::vector<std::string>& arguments);

}  // namespace zb
