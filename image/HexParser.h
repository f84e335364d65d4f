// Intel HEX parser and the flash image it fills.
//
// The image is a byte-for-byte picture of the device's program memory; the flash
// writer sends it to the bootloader. The parser knows the address layout of the
// device's HEX files: program memory from 0, configuration bytes from 0x300000,
// EEPROM data from 0xF00000. Only program memory reaches the image; records of the
// other two spaces are checked like all others and then have no effect.
//
// Everything here runs on the main thread; nothing is locked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zb {

// Program memory that the image holds: device byte addresses 0x00000 .. 0x1FFFF.
constexpr std::size_t kFlashImageSize = 0x20000;  // bytes
// Byte i is device program-memory byte address i, in the order the records give
// them (nothing swapped or grouped into words). 0xFF is an erased byte.
using FlashImageBytes = std::array<std::uint8_t, kFlashImageSize>;

constexpr std::uint8_t kErasedFlashByte = 0xFF;

// Sets every byte of the image to the erased value. Not part of a parse: call it
// right before ParseHexLines.
void ClearFlashImage(FlashImageBytes& image);

class HexParser {
public:
    // Resets CurrentAddress and the space flags, then parses the lines in order.
    // True when every line was accepted (an empty list included). False at the first
    // rejected line: the lines after it are not read and the image keeps what the
    // lines before it wrote, so callers must not use it.
    // The image is not cleared here (see ClearFlashImage).
    bool ParseHexLines(const std::vector<std::string>& lines, FlashImageBytes& image);

    // Parses one record into the image, reading and updating CurrentAddress and the
    // space flags. Accepts record types 00 (data), 01 (end of file) and 04
    // (extended linear address). Deliberately lenient where the device's HEX files
    // allow it: the first character is not examined, characters after the checksum
    // are ignored, an end-of-file record does not end the parse, and an extended
    // linear address record may have a byte count other than 2 (its value is read
    // from the first two data positions; the checksum covers the bytes as counted).
    // A data record in program space whose bytes would land at or above
    // kFlashImageSize is rejected as a whole: nothing of it is written.
    bool ParseHexRecord(std::string_view line, FlashImageBytes& image);

    // The field's characters read as one base-16 number, most significant digit
    // first. Digits are 0-9 and upper-case A-F only. Returns -1 for an empty field,
    // for any other character (lower-case a-f included), and for a value too large
    // for int (record fields have at most four digits, so records never have one).
    static int HexToInt(std::string_view field);

    // Upper 16 bits: the last extended linear address (0 until one is seen);
    // lower 16 bits: the address field of the record parsed last.
    std::uint32_t CurrentAddress = 0;
    // Set while the last extended linear address was 0x0030 (configuration space).
    bool ConfigSpace = false;
    // Set while the last extended linear address was 0x00F0 (EEPROM space).
    bool EepromSpace = false;
};

}  // namespace zb
