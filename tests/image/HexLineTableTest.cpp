#include "FirmwareIdentity.h"
#include "HexLineTable.h"
#include "HexParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zb {
namespace {

// The device's program bytes end below the bootloader; the writer relies on it.
constexpr std::uint32_t kProgramEnd = 0xF800 - 4;  // first address the image leaves erased
constexpr std::uint32_t kUnsetAddress = 0xF17F;     // given by no record of the stand-in

struct Decoded {
    int count = 0;
    std::uint32_t offset = 0;
    int type = 0;
    std::vector<std::uint8_t> data;
};

// Strict decoding, independent of the parser: ':' and pairs of upper-case digits,
// count matching the length, correct checksum, nothing after it.
std::optional<Decoded> Decode(std::string_view line)
{
    if (line.size() < 11 || line.front() != ':' || line.size() % 2 == 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        int value = 0;
        for (char c : line.substr(i, 2)) {
            if (c >= '0' && c <= '9')
                value = value * 16 + (c - '0');
            else if (c >= 'A' && c <= 'F')
                value = value * 16 + (c - 'A' + 10);
            else
                return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    unsigned sum = 0;
    for (auto b : bytes)
        sum += b;
    if (sum % 256 != 0 || bytes.size() != 5u + bytes[0])
        return std::nullopt;
    Decoded record;
    record.count = bytes[0];
    record.offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
    record.type = bytes[3];
    record.data.assign(bytes.begin() + 4, bytes.end() - 1);
    return record;
}

std::vector<std::string> TableLines()
{
    return {HexLineTable, HexLineTable + HexLineCount};
}

std::unique_ptr<FlashImageBytes> ParsedImage()
{
    auto image = std::make_unique<FlashImageBytes>();
    ClearFlashImage(*image);
    HexParser parser;
    EXPECT_TRUE(parser.ParseHexLines(TableLines(), *image));
    return image;
}

// Properties that every embedded image must have, whichever file it was made from.

TEST(EmbeddedImageTest, TableHoldsTheLinesOfTheChosenFile)
{
    std::ifstream in(ZB_UPDATE_IMAGE_FILE, std::ios::binary);
    ASSERT_TRUE(in) << ZB_UPDATE_IMAGE_FILE;
    std::vector<std::string> fileLines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        fileLines.push_back(line);
    }
    ASSERT_EQ(static_cast<std::size_t>(HexLineCount), fileLines.size());
    for (std::int32_t k = 0; k < HexLineCount; ++k)
        ASSERT_EQ(HexLineTable[k], fileLines[static_cast<std::size_t>(k)]) << "entry " << k;
}

TEST(EmbeddedImageTest, EveryLineIsAStrictRecordOfAnAcceptedType)
{
    ASSERT_GT(HexLineCount, 1);
    EXPECT_EQ(HexLineTable[0], ":020000040000FA");
    EXPECT_EQ(HexLineTable[HexLineCount - 1], ":00000001FF");
    for (std::int32_t k = 0; k < HexLineCount; ++k) {
        const std::string_view line = HexLineTable[k];
        EXPECT_LE(line.size(), 43u) << "entry " << k;
        const auto record = Decode(line);
        ASSERT_TRUE(record) << "entry " << k << ": " << line;
        EXPECT_TRUE(record->type == 0x00 || record->type == 0x01 || record->type == 0x04) << "entry " << k;
        if (record->type == 0x04) {
            ASSERT_EQ(record->count, 2) << "entry " << k;
            EXPECT_NE(record->data[1], 0xF0) << "EEPROM record at entry " << k;
        }
    }
}

TEST(EmbeddedImageTest, ParsesWithProgramBytesBelowTheBootloaderOnly)
{
    const auto image = ParsedImage();
    const auto above = std::find_if(image->begin() + kProgramEnd, image->end(),
                                    [](std::uint8_t b) { return b != kErasedFlashByte; });
    EXPECT_EQ(above, image->end()) << "program byte at " << std::hex << (above - image->begin());
}

// Read again from the records with the strict decoder: the program-memory
// addresses that data records fill (extended linear address below 0x0030).
TEST(FirmwareIdentityTest, DescribesTheChosenFile)
{
    EXPECT_EQ(CarriedFirmware.sha256, ZB_UPDATE_IMAGE_SHA256);
    EXPECT_EQ(CarriedFirmware.records, HexLineCount);

    std::uint32_t upper = 0;
    std::optional<std::uint32_t> first;
    std::uint32_t last = 0;
    for (std::int32_t k = 0; k < HexLineCount; ++k) {
        const auto record = Decode(HexLineTable[k]);
        ASSERT_TRUE(record) << "entry " << k;
        if (record->type == 0x04)
            upper = static_cast<std::uint32_t>(record->data[0] << 8 | record->data[1]);
        if (record->type != 0x00 || record->count == 0 || upper >= 0x0030)
            continue;
        const std::uint32_t address = upper << 16 | record->offset;
        first = std::min(first.value_or(address), address);
        last = std::max(last, address + static_cast<std::uint32_t>(record->count) - 1);
    }
    ASSERT_TRUE(first);
    EXPECT_EQ(CarriedFirmware.programFirst, *first);
    EXPECT_EQ(CarriedFirmware.programLast, last);

    char range[40];
    std::snprintf(range, sizeof range, "program 0x%04X-0x%04X", static_cast<unsigned>(*first),
                  static_cast<unsigned>(last));
    EXPECT_EQ(CarriedFirmware.text, "SHA-256 " + std::string(ZB_UPDATE_IMAGE_SHA256) + ", " +
                                        std::to_string(HexLineCount) + " records, " + range);
}

// The layout of the stand-in firmware (firmware/update.hex), which matches the
// product firmware's: checked only when the stand-in is the embedded image.

class StandInImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ZB_EMBEDS_STAND_IN)
            GTEST_SKIP() << "embedded image is " << ZB_UPDATE_IMAGE_FILE << ", not the stand-in";
    }
};

TEST_F(StandInImageTest, RecordLayout)
{
    ASSERT_EQ(HexLineCount, 4025);
    EXPECT_EQ(HexLineTable[4016], ":020000040030CA");

    std::uint32_t next = 0;  // first address not yet covered
    int full = 0;
    int partial = 0;
    std::vector<int> firstSeven;
    for (int k = 1; k <= 4015; ++k) {
        const auto record = Decode(HexLineTable[k]);
        ASSERT_TRUE(record && record->type == 0x00) << "entry " << k;
        if (next == kUnsetAddress)
            ++next;
        ASSERT_EQ(record->offset, next) << "entry " << k << ": gap, overlap or out of order";
        next += static_cast<std::uint32_t>(record->count);
        if (record->count == 16 && record->offset % 16 == 0)
            ++full;
        else if (record->count >= 1 && record->count <= 15)
            ++partial;
        if (k <= 7)
            firstSeven.push_back(record->count);
    }
    EXPECT_EQ(next, kProgramEnd);
    EXPECT_EQ(full, 3923);
    EXPECT_EQ(partial, 92);
    EXPECT_EQ(firstSeven, (std::vector<int>{6, 2, 6, 2, 8, 6, 2}));

    const std::uint32_t configOffsets[] = {1, 2, 3, 5, 6, 8, 9};
    for (int k = 4017; k <= 4023; ++k) {
        const auto record = Decode(HexLineTable[k]);
        ASSERT_TRUE(record) << "entry " << k;
        EXPECT_EQ(record->type, 0x00);
        EXPECT_EQ(record->count, 1);
        EXPECT_EQ(record->offset, configOffsets[k - 4017]) << "entry " << k;
    }
}

TEST_F(StandInImageTest, Identity)
{
    EXPECT_EQ(CarriedFirmware.records, 4025);
    EXPECT_EQ(CarriedFirmware.programFirst, 0x0000u);
    EXPECT_EQ(CarriedFirmware.programLast, 0xF7FBu);
    EXPECT_TRUE(CarriedFirmware.text.ends_with(", 4025 records, program 0x0000-0xF7FB")) << CarriedFirmware.text;
}

TEST_F(StandInImageTest, ParsedImageLooksLikeFirmware)
{
    const auto image = ParsedImage();
    EXPECT_EQ((*image)[kUnsetAddress], kErasedFlashByte);

    // Address 0 holds a two-word GOTO (0xEF kk, 0xF kkk, low bytes first) into the
    // program area.
    EXPECT_EQ((*image)[1], 0xEF);
    EXPECT_EQ((*image)[3] & 0xF0, 0xF0);
    const std::uint32_t target =
        2u * ((*image)[0] | (*image)[2] << 8 | ((*image)[3] & 0x0Fu) << 16);
    EXPECT_GT(target, 0x1Fu);
    EXPECT_LT(target, kProgramEnd);

    // The bootloader escapes these bytes; the firmware must exercise that.
    for (const int special : {0x04, 0x05, 0x0F})
        EXPECT_NE(std::find(image->begin(), image->begin() + kProgramEnd, special), image->begin() + kProgramEnd)
            << "no byte " << special;
}

}  // namespace
}  // namespace zb
