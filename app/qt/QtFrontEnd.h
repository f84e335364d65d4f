// QtFrontEnd: the Qt window as the program loads it, from a module of its own,
// when the run first needs it (the break, or a message box).
//
// The program itself links no toolkit: Qt and the forty-odd libraries it brings
// are mapped, bound and initialised only when the module is loaded, not before
// the first byte on the line. Qt's event dispatcher then joins the program's
// main loop (GlibMainThread), which waits on the same GLib context.
//
// This header holds no Qt: both the program and the module include it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MainWindowView.h"

namespace zb {

class QtFrontEnd {
public:
    virtual ~QtFrontEnd() = default;
    // Builds the window, not yet shown, once; `updateClicked` runs when its "Update"
    // button is clicked.
    virtual MainWindowView& buildWindow(std::function<void()> updateClicked) = 0;
    virtual void showWindow() = 0;
    // A modal box with one OK button and no icon; returns false, showing nothing, on a
    // platform without a screen (offscreen, minimal), where nobody could close it and
    // an unattended run would hang.
    virtual bool showMessage(const std::string& text, const std::string& caption) = 0;
};

// Writes one line to the program's standard error.
using ErrorLineWriter = void (*)(const std::string& line);

// The module's entry, by this name: creates Qt's application object with the
// program's command line, which must outlive it. Qt's own messages go to
// `errorLine`. Called once, on the main thread.
using CreateQtFrontEndFunction = QtFrontEnd* (*)(int* argc, char** argv, ErrorLineWriter errorLine);
inline constexpr const char* kCreateQtFrontEndName = "zbCreateQtFrontEnd";
extern "C" QtFrontEnd* zbCreateQtFrontEnd(int* argc, char** argv, ErrorLineWriter errorLine);

// The command-line arguments without the options that Qt takes for itself
// (-platform NAME, -style NAME, -reverse, ...): Qt's application object, made when
// the window is loaded, takes them out of the command line and uses them, and
// what is left is the program's.
std::vector<std::string> WithoutQtOptions(const std::vector<std::string>& arguments);

// Loads the module that lies beside the program (or where the package installs it)
// and creates the front end; null when that fails, after one line on standard error
// saying why: the run then goes on without a window.
std::unique_ptr<QtFrontEnd> LoadQtFrontEnd(int* argc, char** argv);

}  // namespace zb
