#include "HexParser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace zb {
namespace {

constexpr int kData = 0x00;
constexpr int kEof = 0x01;
constexpr int kLinear = 0x04;

// A well-formed record in upper-case hex with its checksum, built independently of
// the parser.
std::string Record(int type, unsigned offset, std::initializer_list<int> data)
{
    std::vector<int> bytes = {static_cast<int>(data.size()), static_cast<int>(offset >> 8),
                              static_cast<int>(offset & 0xFF), type};
    bytes.insert(bytes.end(), data);
    int sum = 0;
    for (int b : bytes)
        sum += b;
    bytes.push_back((0x100 - sum % 0x100) % 0x100);
    std::string line = ":";
    for (int b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line;
}

class HexParserTest : public ::testing::Test {
protected:
    void SetUp() override { ClearFlashImage(image()); }

    bool Parse(const std::vector<std::string>& lines) { return parser_.ParseHexLines(lines, image()); }

    // On the heap, so that AddressSanitizer builds catch a write past either end.
    FlashImageBytes& image() { return *image_; }

    // Every byte outside [address, address + bytes.size()) is erased, and the bytes
    // inside are `bytes`.
    void ExpectOnly(std::uint32_t address, std::vector<std::uint8_t> bytes)
    {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            EXPECT_EQ(image()[address + i], bytes[i]) << "at " << std::hex << address + i;
        std::size_t others = 0;
        for (std::size_t i = 0; i < image().size(); ++i) {
            if ((i < address || i >= address + bytes.size()) && image()[i] != kErasedFlashByte)
                ++others;
        }
        EXPECT_EQ(others, 0u) << "bytes written outside the expected range";
    }

    void ExpectErased() { ExpectOnly(0, {}); }

    HexParser parser_;
    std::unique_ptr<FlashImageBytes> image_ = std::make_unique<FlashImageBytes>();
};

TEST(HexToIntTest, ReadsUpperCaseDigitsAndRefusesEverythingElse)
{
    EXPECT_EQ(HexParser::HexToInt("00"), 0);
    EXPECT_EQ(HexParser::HexToInt("FA"), 0xFA);
    EXPECT_EQ(HexParser::HexToInt("09AF"), 0x09AF);
    EXPECT_EQ(HexParser::HexToInt("7"), 7);  // what a line cut short leaves of a field
    EXPECT_EQ(HexParser::HexToInt("7FFFFFFF"), 0x7FFFFFFF);

    EXPECT_EQ(HexParser::HexToInt(""), -1);
    EXPECT_EQ(HexParser::HexToInt("fa"), -1);
    EXPECT_EQ(HexParser::HexToInt("0a"), -1);
    EXPECT_EQ(HexParser::HexToInt("G0"), -1);
    EXPECT_EQ(HexParser::HexToInt("1 "), -1);
    EXPECT_EQ(HexParser::HexToInt(" 1"), -1);
    EXPECT_EQ(HexParser::HexToInt("-1"), -1);
    EXPECT_EQ(HexParser::HexToInt("80000000"), -1);  // does not fit in int
}

TEST_F(HexParserTest, WorkedExampleGivesFourBytesAtZero)
{
    EXPECT_TRUE(Parse({":020000040000FA", ":0400000001020304F2", ":00000001FF"}));
    ExpectOnly(0, {0x01, 0x02, 0x03, 0x04});
}

TEST_F(HexParserTest, EmptyListLeavesTheImageErased)
{
    EXPECT_TRUE(Parse({}));
    ExpectErased();
}

TEST_F(HexParserTest, AcceptsWhatTheDeviceFilesAllow)
{
    // End of file does not end the parse; the first character is not examined;
    // characters after the checksum are ignored; a count-0 data record stores nothing.
    EXPECT_TRUE(Parse({":00000001FF", ":0100100011DE", "X0100110022CC", ":0100120033BA trailing;junk\r",
                       Record(kData, 0x0020, {})}));
    ExpectOnly(0x10, {0x11, 0x22, 0x33});
}

TEST_F(HexParserTest, ChecksumCutToOneDigitIsReadFromThatDigit)
{
    // The line ends inside the checksum field: the one digit there is the checksum,
    // as the traditional parser read it. 0xF8 needs 0x07, 0xFF needs 0x00.
    EXPECT_TRUE(Parse({":01000000F87", ":01000100FE0"}));
    ExpectOnly(0, {0xF8, 0xFE});
    // The digit must still be the right checksum.
    EXPECT_FALSE(parser_.ParseHexRecord(":01000200F88", image()));
}

TEST_F(HexParserTest, ExtendedLinearAddressWithCountOtherThanTwo)
{
    // Count 4: the value is the first two data bytes, the checksum covers all four.
    EXPECT_TRUE(Parse({Record(kLinear, 0, {0x00, 0x01, 0x12, 0x34}), Record(kData, 0x0000, {0xAB})}));
    ExpectOnly(0x10000, {0xAB});

    // Count 0: the value is read from where the checksum stands (0xFC here), which
    // selects program memory far above the image, so the next data record fails.
    ASSERT_TRUE(parser_.ParseHexRecord(":00000004FC", image()));
    EXPECT_EQ(parser_.CurrentAddress, 0x00FC0000u);
    EXPECT_FALSE(parser_.ParseHexRecord(Record(kData, 0, {0x01}), image()));
    ExpectOnly(0x10000, {0xAB});
}

TEST_F(HexParserTest, RejectsMalformedRecords)
{
    const std::vector<std::string> bad = {
        ":0400000001020304f2",                      // lower-case digit in the checksum
        ":040000000a020304E9",                      // lower-case digit in the data
        ":020000021000EC",                          // extended segment address
        ":0400000300003800C1",                      // start segment address
        ":04000005000000CD2A",                      // start linear address
        Record(0x06, 0, {0x01}),                    // unknown type with a good checksum
        ":0400000001020304F3",                      // checksum off by one
        ":0400000001020304",                        // checksum missing
        ":0400000001020304F",                       // checksum cut to one digit
        ":04000000010203F5",                        // count promises more than the line holds
        ":0400",                                    // cut inside the address
        "",                                         // empty line
        ":",                                        // start code only
        ":02000004000",                             // extended address value cut short
    };
    for (const std::string& line : bad) {
        HexParser parser;
        EXPECT_FALSE(parser.ParseHexRecord(line, image())) << line;
    }
    ExpectErased();
}

TEST_F(HexParserTest, ParseStopsAtTheFirstRejectedLine)
{
    EXPECT_FALSE(Parse({":0100000011EE", ":0100010022DC", ":0100020033ca", ":0100030044B8"}));
    ExpectOnly(0, {0x11, 0x22});
}

TEST_F(HexParserTest, ConfigurationAndEepromRecordsPassWithoutEffect)
{
    EXPECT_TRUE(Parse({":020000040030CA", ":0100010033CB", ":0200000400F00A", ":0100010044BA",
                       Record(kData, 0x0000, {0x01, 0x02})}));
    ExpectErased();
    EXPECT_TRUE(parser_.EepromSpace);
    EXPECT_FALSE(parser_.ConfigSpace);

    // Back in program space, data is stored again.
    EXPECT_TRUE(Parse({":020000040030CA", ":0100010033CB", ":020000040000FA", ":0100010033CB"}));
    ExpectOnly(1, {0x33});
    EXPECT_FALSE(parser_.ConfigSpace || parser_.EepromSpace);
}

TEST_F(HexParserTest, SpaceRecordsAreCheckedLikeAllOthers)
{
    EXPECT_FALSE(Parse({":020000040030CA", ":0100010033CC"}));
    EXPECT_FALSE(Parse({":0200000400F00A", ":0100010033cb"}));
    EXPECT_FALSE(Parse({":0200000400F00A", ":020000021000EC"}));
}

TEST_F(HexParserTest, AddressesAboveSixtyFourKilobytes)
{
    // Upper address 0x0001, offset 0x0010.
    EXPECT_TRUE(Parse({":020000040001F9", Record(kData, 0x0010, {0xDE, 0xAD})}));
    ExpectOnly(0x10010, {0xDE, 0xAD});
    EXPECT_EQ(parser_.CurrentAddress, 0x00010010u);

    // A record that passes offset 0xFFFF runs on into the next 64 KiB.
    ClearFlashImage(image());
    EXPECT_TRUE(Parse({Record(kData, 0xFFFE, {1, 2, 3, 4})}));
    ExpectOnly(0xFFFE, {1, 2, 3, 4});

    // The upper address stays for the data records that follow.
    ClearFlashImage(image());
    EXPECT_TRUE(Parse({":020000040001F9", Record(kData, 0x0000, {7}), Record(kData, 0xFFFF, {9})}));
    EXPECT_EQ(image()[0x10000], 7);
    EXPECT_EQ(image()[0x1FFFF], 9);
}

TEST_F(HexParserTest, LaterRecordForTheSameAddressWins)
{
    EXPECT_TRUE(Parse({Record(kData, 0x0100, {1, 2, 3, 4}), Record(kData, 0x0101, {0x22, 0x33})}));
    ExpectOnly(0x100, {1, 0x22, 0x33, 4});
}

TEST_F(HexParserTest, NothingIsWrittenBeyondTheImage)
{
    // Ends exactly at the last image byte: accepted.
    EXPECT_TRUE(Parse({":020000040001F9", Record(kData, 0xFFFC, {1, 2, 3, 4})}));
    ExpectOnly(0x1FFFC, {1, 2, 3, 4});

    // Runs one byte past the end: rejected as a whole, nothing of it written.
    ClearFlashImage(image());
    EXPECT_FALSE(Parse({":020000040001F9", Record(kData, 0xFFFD, {1, 2, 3, 4})}));
    ExpectErased();

    // Upper addresses that are neither program memory we hold nor a known space.
    for (const char* upper : {":020000040002F8", ":020000040031C9", ":0200000400EF0B", ":02000004FFFFFC"}) {
        EXPECT_FALSE(Parse({upper, Record(kData, 0x0000, {0x55})})) << upper;
        // A data record without bytes lands nowhere and is accepted.
        EXPECT_TRUE(Parse({upper, Record(kData, 0xFFFF, {})})) << upper;
    }
    // The largest count at the highest address: the sum must not wrap round.
    EXPECT_FALSE(Parse({":02000004FFFFFC", ":FFFFFF00" + std::string(510, '0') + "03"}));
    ExpectErased();
}

TEST_F(HexParserTest, ParseHexLinesStartsFromAFreshState)
{
    parser_.CurrentAddress = 0x00300000;
    parser_.ConfigSpace = true;
    EXPECT_TRUE(Parse({Record(kData, 0x0002, {0x42})}));
    ExpectOnly(2, {0x42});
}

}  // namespace
}  // namespace zb
