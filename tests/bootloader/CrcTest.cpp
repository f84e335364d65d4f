#include "Crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace {

std::uint16_t crc16Of(std::string_view text)
{
    zb::Crc16 crc;
    crc.Set(0);
    for (char c : text)
        crc.Update(static_cast<std::uint8_t>(c));
    return crc.Get();
}

std::uint16_t crc16Of(const std::vector<std::uint8_t>& bytes)
{
    zb::Crc16 crc;
    crc.Set(0);
    for (std::uint8_t b : bytes)
        crc.Update(b);
    return crc.Get();
}

std::uint8_t crc8Of(std::string_view text)
{
    zb::Crc8 acc;
    return zb::crc8Block(acc, reinterpret_cast<const std::uint8_t*>(text.data()),
                         static_cast<std::int32_t>(text.size()));
}

TEST(Crc16, CatalogueValues)
{
    EXPECT_EQ(crc16Of("123456789"), 0x31C3);
    EXPECT_EQ(crc16Of("abc"), 0x9DD6);
}

TEST(Crc16, EmptyInputAndFreshObjectAreZero)
{
    zb::Crc16 fresh;
    EXPECT_EQ(fresh.Get(), 0);
    EXPECT_EQ(crc16Of(""), 0);
}

TEST(Crc16, SetRestartsAComputation)
{
    zb::Crc16 crc;
    crc.Set(0xBEEF);
    EXPECT_EQ(crc.Get(), 0xBEEF);
    crc.Update('x');
    crc.Set(0);
    for (char c : std::string_view("abc"))
        crc.Update(static_cast<std::uint8_t>(c));
    EXPECT_EQ(crc.Get(), 0x9DD6);
}

TEST(Crc16, CommandFrameValues)
{
    EXPECT_EQ(crc16Of(std::vector<std::uint8_t>{0x00}), 0x0000);  // information
    EXPECT_EQ(crc16Of(std::vector<std::uint8_t>{0x03}), 0x3063);  // erase
    EXPECT_EQ(crc16Of(std::vector<std::uint8_t>{0x04}), 0x4084);  // write
    // Information reply fields: size 512, version 1.2, start 0xF800.
    EXPECT_EQ(crc16Of({0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00}), 0xABA4);
}

TEST(Crc16, TableEntries)
{
    EXPECT_EQ(zb::Crc16::tableEntry(0), 0x0000);
    EXPECT_EQ(zb::Crc16::tableEntry(1), 0x1021);
    EXPECT_EQ(zb::Crc16::tableEntry(2), 0x2042);
    EXPECT_EQ(zb::Crc16::tableEntry(255), 0x1EF0);
}

TEST(Crc16, RegisterStaysSixteenBitsWide)
{
    // A high accumulator must lose its top byte in the shift: from 0xFFFF the byte
    // 0xFF selects entry 0, so the result is 0xFF00 and not 0xFFFF00.
    zb::Crc16 crc;
    crc.Set(0xFFFF);
    crc.Update(0xFF);
    EXPECT_EQ(crc.Get(), 0xFF00);
    crc.Set(0x8001);
    crc.Update(0x00);
    EXPECT_EQ(crc.Get(), zb::Crc16::tableEntry(0x80) ^ 0x0100);
    // A long run keeps matching a bit-by-bit reference.
    std::uint32_t reference = 0;
    zb::Crc16 table;
    for (int i = 0; i < 5000; ++i) {
        auto byte = static_cast<std::uint8_t>(i * 37 + 11);
        table.Update(byte);
        reference ^= static_cast<std::uint32_t>(byte) << 8;
        for (int bit = 0; bit < 8; ++bit)
            reference = ((reference & 0x8000U) ? (reference << 1) ^ 0x1021U : reference << 1) & 0xFFFFU;
    }
    EXPECT_EQ(table.Get(), reference);
}

TEST(Crc8, CatalogueValues)
{
    EXPECT_EQ(crc8Of("123456789"), 0x08);
    EXPECT_EQ(crc8Of("abc"), 0x65);
}

TEST(Crc8, EmptyInputAndFreshObjectAreZero)
{
    zb::Crc8 fresh;
    EXPECT_EQ(fresh.Get(), 0);
    zb::Crc8 acc;
    acc.Set(0x5A);
    EXPECT_EQ(zb::crc8Block(acc, nullptr, 0), 0);
    EXPECT_EQ(acc.Get(), 0);
}

TEST(Crc8, BlockRestartsFromZero)
{
    // crc8Block must not carry over what the accumulator held before.
    zb::Crc8 acc;
    acc.Set(0x77);
    const std::uint8_t probe[] = {0x81, 0x03};
    EXPECT_EQ(zb::crc8Block(acc, probe, 2), 0x86);
    EXPECT_EQ(zb::crc8Block(acc, probe, 2), 0x86);
}

TEST(Crc8, ShortCommandValues)
{
    zb::Crc8 acc;
    const std::uint8_t probe[] = {0x81, 0x03};
    const std::uint8_t reset[] = {0x93, 0x03};
    EXPECT_EQ(zb::crc8Block(acc, probe, 2), 0x86);
    EXPECT_EQ(zb::crc8Block(acc, reset, 2), 0xDC);
    // Only the first count bytes count: the CRC byte itself is not summed.
    const std::uint8_t frame[] = {0x93, 0x03, 0xDC};
    EXPECT_EQ(zb::crc8Block(acc, frame, 2), frame[2]);
}

TEST(Crc8, TableEntries)
{
    EXPECT_EQ(zb::Crc8::tableEntry(0), 0x00);
    EXPECT_EQ(zb::Crc8::tableEntry(1), 0x03);
    EXPECT_EQ(zb::Crc8::tableEntry(2), 0x06);
    EXPECT_EQ(zb::Crc8::tableEntry(3), 0x05);
    EXPECT_EQ(zb::Crc8::tableEntry(255), 0x02);
}

}  // namespace
