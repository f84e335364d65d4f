// Byte-wise CRC accumulators for the two checksums on the serial line.
//
// Crc16 (CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final
// XOR) protects every bootloader frame; its value goes on the wire low byte first.
// Crc8 (polynomial 0x03, initial value 0, no reflection, no final XOR) protects the
// short frames of the application firmware. Both cost one table lookup per byte.
//
// The accumulators hold no shared state: every user embeds its own.
#pragma once

#include <cstdint>

namespace zb {

class Crc16 {
public:
    void Set(std::uint16_t value) { acc_ = value; }
    void Update(std::uint8_t byte);
    std::uint16_t Get() const { return acc_; }

    // Entry i: the byte i in the high half of the register, shifted through 8 steps
    // of the polynomial, most significant bit first.
    static std::uint16_t tableEntry(std::uint8_t index);

private:
    std::uint16_t acc_ = 0;
};

class Crc8 {
public:
    void Set(std::uint8_t value) { acc_ = value; }
    void Update(std::uint8_t byte);
    std::uint8_t Get() const { return acc_; }

    // Entry i: the byte i shifted through 8 steps of the polynomial, MSB first.
    static std::uint8_t tableEntry(std::uint8_t index);

private:
    std::uint8_t acc_ = 0;
};

// Sets acc to 0, runs data[0] .. data[count - 1] through it and returns the result.
// A count of 0 or less yields 0 and reads nothing.
std::uint8_t crc8Block(Crc8& acc, const std::uint8_t* data, std::int32_t count);

}  // namespace zb
