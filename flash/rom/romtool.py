#!/usr/bin/env python3
"""Checks the assembled ROM images against their layout table and writes them as C++ arrays.

The layout (image addresses and sizes, the ROM entry table, the fixed helper and entry
addresses) is read from the constexpr rows of images.h. The assembled code is read from the
assembler symbol files (.sym), the linked Intel HEX file and the per-image binaries cut out by
makebin. Any mismatch stops the build with a message naming the routine.
"""

import argparse
import re
import sys
from pathlib import Path

LONG_JUMP = 0x02
ENTRY_SIZE = 3
END_SUFFIX = "_end"


class LayoutError(Exception):
    pass


def parse_layout(header_text):
    def rows(kind, pattern):
        return [m.groups() for m in re.finditer(kind + r'\{"([^"]+)",\s*' + pattern + r"\}", header_text)]

    images = [(name, int(address, 16), int(size)) for name, address, size in
              rows("ImageLayout", r"(0x[0-9A-Fa-f]+),\s*(\d+)")]
    entries = [(name, int(target, 16)) for name, target in rows("Entry", r"(0x[0-9A-Fa-f]+)")]
    fixed = [(name, int(address, 16)) for name, address in rows("Fixed", r"(0x[0-9A-Fa-f]+)")]
    if len(images) != 3 or not entries or not fixed:
        raise LayoutError("images.h: the layout rows (ImageLayout, Entry, Fixed) were not found")
    return images, entries, fixed


SYMBOL_LINE = re.compile(r"^\s*(?:[0-9A-Fa-f]+\s+)?([A-Za-z_][\w$.]*)\s+([0-9A-Fa-f]{6})\s+G\w*\s*$")


def parse_symbols(paths):
    symbols = {}
    for path in paths:
        for line in Path(path).read_text().splitlines():
            match = SYMBOL_LINE.match(line)
            if not match:
                continue
            name, value = match.group(1), int(match.group(2), 16)
            if name in symbols and symbols[name] != value:
                raise LayoutError(f"{name} is defined twice (0x{symbols[name]:04X} and 0x{value:04X})")
            symbols[name] = value
    return symbols


def parse_ihx(path):
    """Every data byte of the HEX file by address, and the addresses written more than once."""
    data = {}
    repeated = set()
    for number, line in enumerate(Path(path).read_text().splitlines(), 1):
        line = line.strip()
        if not line:
            continue
        if not line.startswith(":"):
            raise LayoutError(f"{path}:{number}: not an Intel HEX record")
        record = bytes.fromhex(line[1:])
        count, address, kind = record[0], (record[1] << 8) | record[2], record[3]
        if kind != 0:
            continue
        for offset, value in enumerate(record[4:4 + count]):
            where = address + offset
            if where in data:
                repeated.add(where)
            data[where] = value
    return data, repeated


def blocks_of(symbols):
    blocks = []
    for name, start in symbols.items():
        if name.endswith(END_SUFFIX):
            continue
        end = symbols.get(name + END_SUFFIX)
        if end is not None:
            if end < start:
                raise LayoutError(f"{name}: its end label lies before its start")
            blocks.append((start, end, name))
    return sorted(blocks)


def check(images, entries, fixed, symbols, data, repeated, binaries):
    problems = []
    blocks = blocks_of(symbols)

    def names_at(address):
        return " and ".join(name for start, end, name in blocks if start <= address < end) or "no routine"

    def image_of(address):
        for name, base, size in images:
            if base <= address < base + size:
                return name, base, size
        return None

    # Every block lies in one image and runs into no other block.
    for start, end, name in blocks:
        image = image_of(start)
        if image is None:
            problems.append(f"{name} at 0x{start:04X} lies outside every image")
            continue
        image_name, base, size = image
        if end > base + size:
            problems.append(f"{name} (0x{start:04X}-0x{end - 1:04X}) runs past the end of the {image_name} "
                            f"at 0x{base + size - 1:04X} by {end - base - size} bytes")
    for (start, end, name), (next_start, _, next_name) in zip(blocks, blocks[1:]):
        if end > next_start:
            problems.append(f"{name} (0x{start:04X}-0x{end - 1:04X}) runs into {next_name} at 0x{next_start:04X}")

    if repeated:
        first = min(repeated)
        problems.append(f"{len(repeated)} code bytes are assembled twice, the first at 0x{first:04X} "
                        f"({names_at(first)})")

    # Every assembled byte belongs to a block and to an image.
    starts = [b[0] for b in blocks]
    for address in sorted(data):
        if image_of(address) is None:
            problems.append(f"a byte is assembled at 0x{address:04X}, outside every image")
            break
        index = max((i for i, s in enumerate(starts) if s <= address), default=None)
        if index is None or address >= blocks[index][1]:
            problems.append(f"the byte at 0x{address:04X} lies outside every NAME::/NAME_end:: block")
            break

    # Fixed entry points and helpers.
    reserved = {target for name, target in entries if target == entry_address(images, entries, name)}
    wanted = [(name, target) for name, target in entries if target not in reserved] + fixed
    for name, address in wanted:
        found = symbols.get(name)
        if found is None:
            problems.append(f"{name} is not defined (expected at 0x{address:04X})")
        elif found != address:
            problems.append(f"{name} is at 0x{found:04X}, expected at 0x{address:04X}")
        elif name + END_SUFFIX not in symbols:
            problems.append(f"{name} has no {name}{END_SUFFIX} label")

    # Image sizes and the entry table, byte for byte.
    for (name, base, size), binary in zip(images, binaries):
        if len(binary) != size:
            problems.append(f"the {name} is {len(binary)} bytes, expected {size}")
    table_name, table_base, _ = images[1]
    table = binaries[1]
    for index, (name, target) in enumerate(entries):
        expected = bytes([LONG_JUMP, target >> 8, target & 0xFF])
        got = table[index * ENTRY_SIZE:(index + 1) * ENTRY_SIZE]
        if got != expected:
            problems.append(f"{table_name} entry {index} ({name}) at 0x{table_base + index * ENTRY_SIZE:04X} "
                            f"holds {got.hex(' ').upper()}, expected {expected.hex(' ').upper()}")
    if problems:
        raise LayoutError("\n".join(problems))


def entry_address(images, entries, name):
    index = [n for n, _ in entries].index(name)
    return images[1][1] + index * ENTRY_SIZE


def write_cpp(path, images, binaries):
    lines = [
        "// Generated by flash/rom/romtool.py from the ROM assembly sources. Do not edit.",
        '#include "flash/rom/images.h"',
        "",
        "namespace flash::rom {",
        "namespace {",
        "",
    ]
    for index, binary in enumerate(binaries):
        lines.append(f"constexpr std::array<uint8_t, {len(binary)}> kImage{index}{{")
        for offset in range(0, len(binary), 16):
            lines.append("    " + ", ".join(f"0x{b:02X}" for b in binary[offset:offset + 16]) + ",")
        lines.append("};")
        lines.append(f"static_assert(kImage{index}.size() == kImageLayout[{index}].size);")
        lines.append("")
    lines.append(f"const std::array<Image, {len(binaries)}> kImages{{{{")
    for index in range(len(binaries)):
        lines.append(f"    Image{{kImageLayout[{index}].address, kImage{index}}},")
    lines += ["}};", "", "}  // namespace", "", "std::span<const Image> Images() { return kImages; }", "",
              "}  // namespace flash::rom", ""]
    text = "\n".join(lines)
    target = Path(path)
    if not target.exists() or target.read_text() != text:
        target.write_text(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--layout", required=True, help="images.h")
    parser.add_argument("--ihx", required=True, help="the linked Intel HEX file")
    parser.add_argument("--sym", nargs="+", required=True, help="assembler symbol files")
    parser.add_argument("--bin", nargs=3, required=True, help="code memory from each image's address on, in write order")
    parser.add_argument("--cpp", required=True, help="C++ file to write")
    args = parser.parse_args()
    try:
        images, entries, fixed = parse_layout(Path(args.layout).read_text())
        symbols = parse_symbols(args.sym)
        data, repeated = parse_ihx(args.ihx)
        # Each binary runs from its image's address to the end of code memory.
        binaries = [Path(b).read_bytes()[:size] for b, (_, _, size) in zip(args.bin, images)]
        check(images, entries, fixed, symbols, data, repeated, binaries)
    except LayoutError as error:
        for line in str(error).splitlines():
            print(f"romtool: error: {line}", file=sys.stderr)
        return 1
    write_cpp(args.cpp, images, binaries)
    for (name, base, size) in images:
        used = sum(1 for a in data if base <= a < base + size)
        print(f"romtool: {name}: {used} of {size} bytes used, {size - used} free")
    return 0


if __name__ == "__main__":
    sys.exit(main())
