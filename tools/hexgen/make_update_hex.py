#!/usr/bin/env python3
"""Writes firmware/update.hex, the stand-in for the device firmware that the
updater carries. Deterministic: the same output on every run and every Python 3.

    python3 tools/hexgen/make_update_hex.py [-o firmware/update.hex]

Layout (the updater and its tests rely on it):
  line 0            extended linear address 0x0000
  lines 1..4015     data records in ascending address order covering 0x0000..0xF17E
                    and 0xF180..0xF7FB (0xF17F is given by no record); 3923 records
                    of 16 bytes on 16-byte boundaries and 92 of 1..15 bytes, the
                    first seven covering 0x0000..0x001F in 6, 2, 6, 2, 8, 6, 2 bytes
  line 4016         extended linear address 0x0030 (configuration space)
  lines 4017..4023  one-byte configuration records at 0x300001, 0x300002, 0x300003,
                    0x300005, 0x300006, 0x300008, 0x300009
  line 4024         end of file
"""

import argparse
import sys

PROGRAM_END = 0xF7FC          # first address after the program bytes
HOLE = 0xF17F                 # the one program address that no record gives
ROW = 16                      # bytes in a full record
SPLIT_ROWS = 41               # further rows given in two (one of them three) pieces
VECTOR_PIECES = [6, 2, 6, 2, 8, 6, 2]   # records covering 0x0000..0x001F

APP_START = 0x0040            # application entry that the reset vector jumps to
HIGH_ISR = 0x0100             # interrupt service routines behind the vectors
LOW_ISR = 0x0180

CONFIG_BYTES = [(0x0001, 0x02), (0x0002, 0x19), (0x0003, 0x1E), (0x0005, 0x81),
                (0x0006, 0x81), (0x0008, 0x0F), (0x0009, 0xC0)]
VERSION_TEXT_AT = 0xF700
VERSION_TEXT = b"ZB stand-in firmware 1.0\0"


class XorShift32:
    """Small fixed generator: Python's own may change between versions."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n):
        return self.next() % n


def goto(address):
    """Two-word GOTO to a byte address, low byte first: 0xEF kk, 0xF kkk."""
    word = address // 2
    return bytes([word & 0xFF, 0xEF, (word >> 8) & 0xFF, ((word >> 16) & 0x0F) | 0xF0])


def program_bytes(rng):
    memory = bytearray(PROGRAM_END)
    for address in range(0, PROGRAM_END, 2):
        word = rng.next() >> 16
        memory[address] = word & 0xFF
        memory[address + 1] = word >> 8
    memory[0x0000:0x0006] = goto(APP_START) + b"\x00\x00"
    memory[0x0008:0x000E] = goto(HIGH_ISR) + b"\x00\x00"
    memory[0x0018:0x001E] = goto(LOW_ISR) + b"\x00\x00"
    memory[VERSION_TEXT_AT:VERSION_TEXT_AT + len(VERSION_TEXT)] = VERSION_TEXT
    return memory


def pieces(rng):
    """(address, length) of every program record, ascending."""
    rows = range(0, PROGRAM_END, ROW)
    special = {0x0000, 0x0010, HOLE & ~(ROW - 1), (PROGRAM_END - 1) & ~(ROW - 1)}
    candidates = [row for row in rows if row not in special]
    split = set()
    while len(split) < SPLIT_ROWS:
        split.add(candidates[rng.below(len(candidates))])
    in_three = sorted(split)[rng.below(SPLIT_ROWS)]

    result = []
    address = 0
    for length in VECTOR_PIECES:
        result.append((address, length))
        address += length
    for row in rows:
        if row < address:
            continue
        end = min(row + ROW, PROGRAM_END)
        if row <= HOLE < end:
            result.append((row, HOLE - row))
            if HOLE + 1 < end:
                result.append((HOLE + 1, end - HOLE - 1))
            continue
        if row in split:
            cuts = {1 + rng.below(ROW - 1)}
            while row == in_three and len(cuts) < 2:
                cuts.add(1 + rng.below(ROW - 1))
            bounds = [row] + [row + cut for cut in sorted(cuts)] + [end]
            result.extend((lo, hi - lo) for lo, hi in zip(bounds, bounds[1:]))
            continue
        result.append((row, end - row))
    return result


def record(record_type, offset, data):
    body = bytes([len(data), offset >> 8, offset & 0xFF, record_type]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def lines():
    rng = XorShift32(0x5A42_0001)
    memory = program_bytes(rng)
    out = [record(0x04, 0, b"\x00\x00")]
    out += [record(0x00, address, memory[address:address + length])
            for address, length in pieces(rng)]
    out.append(record(0x04, 0, b"\x00\x30"))
    out += [record(0x00, offset, [value]) for offset, value in CONFIG_BYTES]
    out.append(record(0x01, 0, b""))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-o", "--output", help="file to write (default: standard output)")
    args = parser.parse_args()
    text = "".join(line + "\n" for line in lines())
    if args.output:
        with open(args.output, "w", encoding="ascii", newline="\n") as out:
            out.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
