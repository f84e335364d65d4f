#!/usr/bin/env python3
"""What the device's flash must hold after a successful update, and a comparison.

    expected_flash.py HEXFILE FLASHDUMP [--boot-start 0xF800] [--application-area]

Reads the Intel HEX file with its own small reader (independent of the updater's
parser), applies what the updater does before writing (the image's reset instruction
moved to just below the bootloader, a jump to the bootloader at address 0), and
compares the result with a 131072-byte flash dump of a device that started erased
(all 0xFF): every block written must hold the image, everything above must be 0xFF.
With --application-area only the area below the bootloader is compared (its blocks
are erased by the update, whatever the device held there before; the bootloader's
own bytes are then the caller's to check). Prints the first differences and exits 1
when there are any.
"""
import argparse
import sys

FLASH_BYTES = 0x20000
BLOCK_BYTES = 56 * 64


def read_hex(path):
    image = bytearray(b"\xff" * FLASH_BYTES)
    upper = 0
    with open(path, "r", encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            raw = bytes.fromhex(line[1:])
            count, address, kind = raw[0], (raw[1] << 8) | raw[2], raw[3]
            data = raw[4:4 + count]
            if sum(raw[:5 + count]) & 0xFF:
                sys.exit(f"{path}:{number}: bad checksum")
            if kind == 0x04:
                upper = (data[0] << 8) | data[1]
            elif kind == 0x00 and upper < 2:  # program memory only
                start = (upper << 16) + address
                image[start:start + count] = data
    return image


def prepare(image, boot_start):
    for i in range(4):
        image[boot_start - 1 - i] = image[3 - i]
    w = (boot_start + 2) // 2
    image[0:4] = bytes([w & 0xFF, 0xEF, (w >> 8) & 0xFF, ((w >> 16) & 0xFF) | 0xF0])
    used = 0
    for i in range(boot_start - 1, -1, -1):
        if image[i] != 0xFF:
            used = i + 1
            break
    blocks = (used + BLOCK_BYTES - 1) // BLOCK_BYTES
    return blocks * BLOCK_BYTES


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("hexfile")
    parser.add_argument("flashdump")
    parser.add_argument("--boot-start", type=lambda s: int(s, 0), default=0xF800)
    parser.add_argument("--application-area", action="store_true",
                        help="compare only the bytes below the bootloader")
    args = parser.parse_args()

    image = read_hex(args.hexfile)
    end = prepare(image, args.boot_start)
    expected = bytes(image[:end]) + b"\xff" * (FLASH_BYTES - end)
    with open(args.flashdump, "rb") as f:
        flash = f.read()
    if len(flash) != FLASH_BYTES:
        print(f"flash dump has {len(flash)} bytes, not {FLASH_BYTES}")
        return 1
    compared = args.boot_start if args.application_area else FLASH_BYTES
    diffs = [a for a in range(compared) if flash[a] != expected[a]]
    if diffs:
        print(f"flash differs from the prepared image at {len(diffs)} addresses:")
        for a in diffs[:10]:
            print(f"  0x{a:05X}: device 0x{flash[a]:02X}, expected 0x{expected[a]:02X}")
        return 1
    print(f"flash matches the prepared image: 0x00000..0x{end - 1:05X} written, "
          f"reset instruction at 0x{args.boot_start - 4:05X}, jump to 0x{args.boot_start:05X} at 0")
    return 0


if __name__ == "__main__":
    sys.exit(main())
