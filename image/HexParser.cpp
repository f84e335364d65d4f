#include "HexParser.h"

#include <algorithm>
#include <climits>

namespace zb {

namespace {

constexpr int kRecordData = 0x00;
constexpr int kRecordEndOfFile = 0x01;
constexpr int kRecordExtendedLinearAddress = 0x04;

// Upper address words that select the non-program spaces.
constexpr int kConfigSpaceUpper = 0x0030;  // configuration bytes at 0x300000
constexpr int kEepromSpaceUpper = 0x00F0;  // EEPROM data at 0xF00000

// Where the fields start in a line (0-based; the start code is at 0) and how many
// characters they take.
constexpr std::size_t kCountPos = 1;
constexpr std::size_t kCountLength = 2;
constexpr std::size_t kAddressPos = 3;
constexpr std::size_t kAddressLength = 4;
constexpr std::size_t kTypePos = 7;
constexpr std::size_t kTypeLength = 2;
constexpr std::size_t kDataPos = 9;
constexpr std::size_t kByteLength = 2;
constexpr std::size_t kUpperAddressLength = 4;  // first two data bytes of a type 04 record

constexpr std::uint32_t kUpperAddressMask = 0xFFFF0000u;
constexpr int kUpperAddressShift = 16;

struct Record {
    int count = 0;
    int offset = 0;
    int type = 0;
    unsigned sum = 0;  // of count, address and type bytes, then the data bytes
    std::array<std::uint8_t, 255> data{};
};

// The characters of the field that the line holds; fewer than `length` when the line
// ends inside the field, none when it ends before it.
std::string_view Field(std::string_view line, std::size_t pos, std::size_t length)
{
    if (pos >= line.size())
        return {};
    return line.substr(pos, length);
}

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Count, address and type fields. An invalid type is not rejected here: the record
// is refused when it is acted on, after the checksum test.
bool ReadHeader(std::string_view line, Record& record)
{
    record.count = HexParser::HexToInt(Field(line, kCountPos, kCountLength));
    if (record.count < 0)
        return false;
    record.offset = HexParser::HexToInt(Field(line, kAddressPos, kAddressLength));
    if (record.offset < 0)
        return false;
    record.type = HexParser::HexToInt(Field(line, kTypePos, kTypeLength));
    record.sum = static_cast<unsigned>(record.count) + static_cast<unsigned>(record.offset >> 8) +
                 static_cast<unsigned>(record.offset & 0xFF) + static_cast<unsigned>(record.type);
    return true;
}

// Data bytes (read for every record type) and the checksum: the two's complement of
// the byte sum from the count to the last data byte.
bool ReadDataAndChecksum(std::string_view line, Record& record)
{
    const auto count = static_cast<std::size_t>(record.count);
    for (std::size_t j = 0; j < count; ++j) {
        const int byte = HexParser::HexToInt(Field(line, kDataPos + j * kByteLength, kByteLength));
        if (byte < 0)
            return false;
        record.data[j] = static_cast<std::uint8_t>(byte);
        record.sum += static_cast<unsigned>(byte);
    }
    const int checksum = HexParser::HexToInt(Field(line, kDataPos + count * kByteLength, kByteLength));
    return checksum >= 0 && static_cast<unsigned>(checksum) == (256u - record.sum % 256u) % 256u;
}

// Bytes that would land beyond the image reject the record rather than being dropped:
// a file that addresses more program memory than the device has is not its firmware.
bool StoreProgramBytes(FlashImageBytes& image, std::uint32_t address, const Record& record)
{
    const auto count = static_cast<std::size_t>(record.count);
    if (count == 0)
        return true;
    if (address >= image.size() || count > image.size() - address)
        return false;
    std::copy_n(record.data.begin(), count, image.begin() + static_cast<std::ptrdiff_t>(address));
    return true;
}

}  // namespace

void ClearFlashImage(FlashImageBytes& image)
{
    image.fill(kErasedFlashByte);
}

bool HexParser::ParseHexLines(const std::vector<std::string>& lines, FlashImageBytes& image)
{
    CurrentAddress = 0;
    ConfigSpace = false;
    EepromSpace = false;
    for (const std::string& line : lines) {
        if (!ParseHexRecord(line, image))
            return false;
    }
    return true;
}

bool HexParser::ParseHexRecord(std::string_view line, FlashImageBytes& image)
{
    Record record;
    if (!ReadHeader(line, record))
        return false;
    CurrentAddress = (CurrentAddress & kUpperAddressMask) + static_cast<std::uint32_t>(record.offset);
    if (!ReadDataAndChecksum(line, record))
        return false;

    switch (record.type) {
    case kRecordData:
        if (ConfigSpace || EepromSpace)
            return true;
        return StoreProgramBytes(image, CurrentAddress, record);
    case kRecordEndOfFile:
        return true;
    case kRecordExtendedLinearAddress: {
        // The value sits in the first two data positions whatever the count says.
        const int upper = HexToInt(Field(line, kDataPos, kUpperAddressLength));
        if (upper < 0)
            return false;
        ConfigSpace = upper == kConfigSpaceUpper;
        EepromSpace = upper == kEepromSpaceUpper;
        CurrentAddress = static_cast<std::uint32_t>(upper) << kUpperAddressShift;
        return true;
    }
    default:
        return false;
    }
}

int HexParser::HexToInt(std::string_view field)
{
    if (field.empty())
        return -1;
    int value = 0;
    for (const char c : field) {
        const int digit = DigitValue(c);
        if (digit < 0 || value > (INT_MAX - digit) / 16)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace zb
