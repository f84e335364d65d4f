"""Compares the updater's Intel HEX parser with independent readers: the Python
intelhex module and srec_cat. Run with the interpreter that has intelhex
(/usr/bin/python3 on Debian).

    crosscheck.py --hex2bin <zb_hex2bin> --image <file.hex> --work <dir>
                  [--srec-cat <srec_cat>] [--files N] [--seed S]

Checks that the embedded update image (as zb_hex2bin --embedded parses it) and N
generated valid files give the same program image, byte for byte, in every reader.
The generated files use what the device's files use: data, extended linear address
(program memory 0x0000 and 0x0001, configuration 0x0030, EEPROM 0x00F0) and end of
file, records in any order, records running over a 64 KiB boundary, no address
given twice. Exit status 0 when all agree, 1 on a difference, 77 when neither
independent reader is there.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys

IMAGE_SIZE = 0x20000
ERASED = 0xFF

try:
    import intelhex
except ImportError:
    intelhex = None


def record(record_type, offset, data):
    body = bytes([len(data), offset >> 8, offset & 0xFF, record_type]) + bytes(data)
    return ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper()


def random_file(rng):
    """Lines of one valid file with at least one program byte (srec_cat refuses a
    file without data)."""
    while True:
        lines, used = random_records(rng)
        if any(address < IMAGE_SIZE for address in used):
            return lines


def random_records(rng):
    used = set()           # absolute addresses given so far, in every space
    lines = []
    for _ in range(rng.randint(1, 6)):
        upper = rng.choice([0x0000, 0x0000, 0x0001, 0x0001, 0x0030, 0x00F0])
        limit = 0x20000 if upper <= 1 else (upper << 16) + 0x10000
        lines.append(record(0x04, 0, bytes([upper >> 8, upper & 0xFF])))
        block = []
        for _ in range(rng.randint(0, 40)):
            count = rng.choice([0, 1, 2, 15, 16, 16, 16, 32, rng.randint(1, 255)])
            if rng.random() < 0.1:
                offset = 0x10000 - rng.randint(1, max(1, count))   # runs over into the next 64 KiB
            else:
                offset = rng.randrange(0x10000)
            start = (upper << 16) + offset
            span = set(range(start, start + count))
            if start + count > limit or span & used:
                continue
            used |= span
            data = bytes(rng.choice([rng.randrange(256), 0x00, 0xFF, 0x04, 0x05, 0x0F])
                         for _ in range(count))
            block.append(record(0x00, offset, data))
        rng.shuffle(block)
        lines += block
    lines.append(record(0x01, 0, b""))
    return lines, used


def intelhex_image(path):
    reader = intelhex.IntelHex(path)
    reader.padding = ERASED
    return bytes(reader.tobinarray(start=0, size=IMAGE_SIZE))


def srec_image(srec_cat, path, out):
    subprocess.run([srec_cat, path, "-Intel", "-crop", "0", hex(IMAGE_SIZE),
                    "-fill", hex(ERASED), "0", hex(IMAGE_SIZE), "-o", out, "-Binary"],
                   check=True, capture_output=True)
    with open(out, "rb") as f:
        return f.read()


def first_difference(a, b):
    return next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--hex2bin", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--srec-cat", default=shutil.which("srec_cat"))
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--seed", type=int, default=20240301)
    args = parser.parse_args()

    readers = []
    if intelhex is not None:
        readers.append(("intelhex", lambda path, i: intelhex_image(path)))
    else:
        print("intelhex module not found for", sys.executable, "- comparing with srec_cat only")
    if args.srec_cat and os.access(args.srec_cat, os.X_OK):
        readers.append(("srec_cat", lambda path, i: srec_image(
            args.srec_cat, path, os.path.join(args.work, "srec%d.bin" % i))))
    else:
        print("srec_cat not found - comparing with intelhex only")
    if not readers:
        print("SKIPPED: neither the intelhex module nor srec_cat is available")
        return 77

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    rng = random.Random(args.seed)
    inputs = [(args.image, os.path.join(args.work, "embedded.bin"))]
    for i in range(args.files):
        path = os.path.join(args.work, "gen%d.hex" % i)
        with open(path, "w") as f:
            f.write("\n".join(random_file(rng)) + "\n")
        inputs.append((path, os.path.join(args.work, "gen%d.bin" % i)))

    subprocess.run([args.hex2bin, "--embedded", inputs[0][1]], check=True)
    subprocess.run([args.hex2bin] + [p for pair in inputs[1:] for p in pair], check=True)

    failures = 0
    for i, (path, ours_path) in enumerate(inputs):
        with open(ours_path, "rb") as f:
            ours = f.read()
        for name, read in readers:
            theirs = read(path, i)
            if ours != theirs:
                at = first_difference(ours, theirs)
                print("DIFFERENT: %s vs %s at 0x%05X" % (path, name, at))
                failures += 1
    print("%d files (embedded image and %d generated, seed %d) compared with %s: %d differences"
          % (len(inputs), args.files, args.seed, " and ".join(n for n, _ in readers), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
