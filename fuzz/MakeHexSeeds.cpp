// fuzz_hex_seeds <dir>: writes the seed corpus of fuzz_hex from the embedded update
// image: its lines in short runs, so that every kind of record it holds (addresses,
// the configuration space, the end record) starts the fuzzer off.
#include "HexLineTable.h"

#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr std::int32_t kRunLength = 8;  // lines a seed

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: fuzz_hex_seeds <dir>\n";
        return 2;
    }
    const std::string dir = argv[1];
    int seeds = 0;
    for (std::int32_t first = 0; first < zb::HexLineCount; first += kRunLength) {
        std::ofstream out(dir + "/lines" + std::to_string(first), std::ios::binary | std::ios::trunc);
        for (std::int32_t k = first; k < first + kRunLength && k < zb::HexLineCount; ++k)
            out << zb::HexLineTable[k] << '\n';
        if (!out) {
            std::cerr << dir << ": cannot write seed\n";
            return 1;
        }
        ++seeds;
    }
    std::cout << seeds << " seeds written to " << dir << '\n';
    return 0;
}
