// The one writer of standard error: whole lines to a pipe or file, the phase's share
// in place on a terminal, paced to ten updates a second.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StandardErrorLines.h"

namespace zb {
namespace {

using namespace std::chrono_literals;

struct Writer {
    std::vector<std::string> writes;
    StandardErrorLines::Clock::time_point now{};
    StandardErrorLines lines;

    explicit Writer(bool terminal)
        : lines([terminal] { return terminal; }, [this](std::string_view text) { writes.emplace_back(text); }, [this] { return now; }) {}

    std::string all() const {
        std::string text;
        for (const auto& w : writes) text += w;
        return text;
    }
};

TEST(StandardErrorLines, PipeOrFileGetsWholeLinesAndNoShare) {
    Writer w(false);
    w.lines.line("Erasing Flash...");
    w.lines.share("Erasing Flash...", 10, 20);
    w.lines.share("Erasing Flash...", 20, 20);
    w.lines.line("Erasing complete...");
    w.lines.finish();
    EXPECT_EQ(w.writes, (std::vector<std::string>{"Erasing Flash...\n", "Erasing complete...\n"}));
}

TEST(StandardErrorLines, TerminalUpdatesThePhaseLineAtMostTenTimesASecond) {
    Writer w(true);
    w.lines.line("COM3 active");
    w.lines.line("Erasing Flash...");
    w.lines.share("Erasing Flash...", 0, 992);
    w.now += 50ms;
    w.lines.share("Erasing Flash...", 16, 992);  // too soon: left out
    w.now += 60ms;
    w.lines.share("Erasing Flash...", 368, 992);
    w.now += 100ms;
    w.lines.share("Erasing Flash...", 370, 992);  // same share: left out
    w.lines.share("Erasing Flash...", 992, 992);  // the end is always shown
    w.lines.line("Erasing complete...");
    w.lines.finish();
    EXPECT_EQ(w.all(),
              "COM3 active\nErasing Flash...\rErasing Flash... 0 %\rErasing Flash... 37 %"
              "\rErasing Flash... 100 %\nErasing complete...\n");
}

TEST(StandardErrorLines, AnotherLineEndsTheLineInPlaceFirst) {
    Writer w(true);
    w.lines.line("Writing Flash...");
    w.lines.share("Writing Flash...", 3584, 63484);
    w.lines.line("Writing errror...");
    // The phase goes on in a line of its own.
    w.now += 1s;
    w.lines.share("Writing Flash...", 7168, 63484);
    w.lines.finish();
    w.lines.finish();
    EXPECT_EQ(w.all(), "Writing Flash...\rWriting Flash... 5 %\nWriting errror...\nWriting Flash... 11 %\n");
}

}  // namespace
}  // namespace zb
