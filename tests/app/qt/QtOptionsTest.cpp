// Qt's own options go to the window program, and the updater keeps what Qt leaves:
// the updater's list against Qt's own handling of the same command line.
#include <string>
#include <vector>

#include <QApplication>
#include <QStringList>
#include <gtest/gtest.h>

#include "QtOptions.h"

namespace zb {
namespace {

TEST(QtOptions, TheUpdaterKeepsTheArgumentsThatQtLeaves) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::vector<std::string> given = {
        "-platform", "offscreen", "--reverse", "-style", "fusion", "-stylesheet=none.qss",
        "-qwindowtitle", "T", "-platformpluginpath", "/nowhere", "-platformtheme", "none",
        "-plugin", "none", "-qwindowgeometry", "10x10", "-qwindowicon", "none.png", "-session",
        "none", "-testability", "-qmljsdebugger=port:1", "COM3", "-widgetcount", "second",
        "-platform"};
    std::vector<std::string> texts = {"zbupdater"};
    texts.insert(texts.end(), given.begin(), given.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(argv.size()) - 1;
    const QApplication application(argc, argv.data());

    std::vector<std::string> leftByQt;
    for (const QString& argument : QCoreApplication::arguments().mid(1)) leftByQt.push_back(argument.toStdString());
    const SplitArguments split = SplitQtOptions(given);
    EXPECT_EQ(split.program, leftByQt);
    EXPECT_EQ(split.program.front(), "COM3");
    // Everything else goes to the window program, in its order.
    EXPECT_EQ(split.program.size() + split.qtOptions.size(), given.size());
    EXPECT_EQ(split.qtOptions.front(), "-platform");
    EXPECT_EQ(split.qtOptions.back(), "-platform");
}

}  // namespace
}  // namespace zb
