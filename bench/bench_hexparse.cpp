// bench_hexparse [runs]: time of clearing the flash image and parsing the embedded
// update image into it, as the update run does; prints the median over `runs`
// (default 500) after one untimed run.
#include "HexLineTable.h"
#include "HexParser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 500;
    if (runs < 1) {
        std::fprintf(stderr, "usage: bench_hexparse [runs >= 1]\n");
        return 2;
    }
    const std::vector<std::string> lines(zb::HexLineTable, zb::HexLineTable + zb::HexLineCount);
    auto image = std::make_unique<zb::FlashImageBytes>();
    zb::HexParser parser;

    using Clock = std::chrono::steady_clock;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(runs));
    for (int run = -1; run < runs; ++run) {
        const auto start = Clock::now();
        zb::ClearFlashImage(*image);
        const bool ok = parser.ParseHexLines(lines, *image);
        const auto stop = Clock::now();
        if (!ok) {
            std::fprintf(stderr, "bench_hexparse: the embedded image does not parse\n");
            return 1;
        }
        if (run >= 0)
            micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
    }
    std::sort(micros.begin(), micros.end());
    const std::size_t n = micros.size();
    const double median = n % 2 ? micros[n / 2] : (micros[n / 2 - 1] + micros[n / 2]) / 2;
    std::printf("bench_hexparse: %d lines, %d runs: median %.1f us (min %.1f, max %.1f)\n",
                zb::HexLineCount, runs, median, micros.front(), micros.back());
    return 0;
}
