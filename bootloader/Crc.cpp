#include "Crc.h"

#include <array>

namespace zb {
namespace {

constexpr std::uint16_t kPoly16 = 0x1021;
constexpr std::uint8_t kPoly8 = 0x03;

constexpr std::array<std::uint16_t, 256> makeTable16()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x8000U) ? (reg << 1) ^ kPoly16 : reg << 1;
        table[i] = static_cast<std::uint16_t>(reg & 0xFFFFU);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> makeTable8()
{
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80U) ? (reg << 1) ^ kPoly8 : reg << 1;
        table[i] = static_cast<std::uint8_t>(reg & 0xFFU);
    }
    return table;
}

// Built at compile time, so the tables are constant data like a written-out list.
constexpr auto kTable16 = makeTable16();
constexpr auto kTable8 = makeTable8();

}  // namespace

void Crc16::Update(std::uint8_t byte)
{
    // The shift by 8 pushes the old high byte out of the 16-bit register; the cast
    // keeps it from surviving in the wider int arithmetic.
    acc_ = static_cast<std::uint16_t>(kTable16[((acc_ >> 8) ^ byte) & 0xFFU] ^ (acc_ << 8));
}

std::uint16_t Crc16::tableEntry(std::uint8_t index)
{
    return kTable16[index];
}

void Crc8::Update(std::uint8_t byte)
{
    acc_ = kTable8[static_cast<std::uint8_t>(acc_ ^ byte)];
}

std::uint8_t Crc8::tableEntry(std::uint8_t index)
{
    return kTable8[index];
}

std::uint8_t crc8Block(Crc8& acc, const std::uint8_t* data, std::int32_t count)
{
    acc.Set(0);
    for (std::int32_t i = 0; i < count; ++i)
        acc.Update(data[i]);
    return acc.Get();
}

}  // namespace zb
