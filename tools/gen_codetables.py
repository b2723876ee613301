#!/usr/bin/env python3
"""Writes velchar/codetables.cpp: the Unicode value of every byte 80 to FF of the
25 single-byte charsets that the own conversion code handles.

The values come from Python's standard codecs, which carry the published Unicode
mappings, plus the few rules where our tables knowingly differ from them (the 1987
edition of ISO-8859-7, the Kamenicky code page). Every table is checked against
the list of positions that must stay undefined, so a codec that changes between
Python versions stops the generator instead of changing the tables silently.

  tools/gen_codetables.py            rewrite velchar/codetables.cpp
  tools/gen_codetables.py --check    exit 1 when the file differs from the output
"""

import os
import sys

UNDEFINED = 0xFFFD

# Kamenicky bytes 80 to AF; its upper half is DOS code page 437 with six changes.
KAMENICKY_80_AF = [
    0x010C, 0x00FC, 0x00E9, 0x010F, 0x00E4, 0x010E, 0x0164, 0x010D,
    0x011B, 0x011A, 0x0139, 0x00CD, 0x013E, 0x013A, 0x00C4, 0x00C1,
    0x00C9, 0x017E, 0x017D, 0x00F4, 0x00F6, 0x00D3, 0x016F, 0x00DA,
    0x00FD, 0x00D6, 0x00DC, 0x0160, 0x013D, 0x00DD, 0x0158, 0x0165,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x0148, 0x0147, 0x016E, 0x00D4,
    0x0161, 0x0159, 0x0155, 0x0154, 0x00BC, 0x00A7, 0x00AB, 0x00BB,
]
# byte: (value in code page 437, value in Kamenicky)
KAMENICKY_CHANGES = {
    0xE1: (0x00DF, 0x03B2),
    0xE6: (0x00B5, 0x03BC),
    0xED: (0x03C6, 0x2205),
    0xF8: (0x00B0, 0x2218),
    0xF9: (0x2219, 0x00B7),
    0xFA: (0x00B7, 0x2219),
}


def byte_range(first, last):
    return list(range(first, last + 1))


# Ordinal order of the members; the third field lists the undefined positions.
TABLES = [
    ("ISO-8859-1", "iso8859_1", []),
    ("ISO-8859-2", "iso8859_2", []),
    ("ISO-8859-3", "iso8859_3", [0xA5, 0xAE, 0xBE, 0xC3, 0xD0, 0xE3, 0xF0]),
    ("ISO-8859-4", "iso8859_4", []),
    ("ISO-8859-5", "iso8859_5", []),
    ("ISO-8859-6", "iso8859_6",
     byte_range(0xA1, 0xA3) + byte_range(0xA5, 0xAB) + byte_range(0xAE, 0xBA)
     + byte_range(0xBC, 0xBE) + [0xC0] + byte_range(0xDB, 0xDF) + byte_range(0xF3, 0xFF)),
    ("ISO-8859-7", "iso8859_7", [0xA4, 0xA5, 0xAA, 0xAE, 0xD2, 0xFF]),
    ("ISO-8859-8", "iso8859_8", [0xA1] + byte_range(0xBF, 0xDE) + [0xFB, 0xFC, 0xFF]),
    ("ISO-8859-9", "iso8859_9", []),
    ("ISO-8859-10", "iso8859_10", []),
    ("ISO-8859-13", "iso8859_13", []),
    ("ISO-8859-14", "iso8859_14", []),
    ("ISO-8859-15", "iso8859_15", []),
    ("WINDOWS-1250", "cp1250", [0x81, 0x83, 0x88, 0x90, 0x98]),
    ("WINDOWS-1251", "cp1251", [0x98]),
    ("WINDOWS-1252", "cp1252", [0x81, 0x8D, 0x8F, 0x90, 0x9D]),
    ("WINDOWS-1253", "cp1253",
     [0x81, 0x88, 0x8A] + byte_range(0x8C, 0x90) + [0x98, 0x9A] + byte_range(0x9C, 0x9F)
     + [0xAA, 0xD2, 0xFF]),
    ("WINDOWS-1254", "cp1254", [0x81] + byte_range(0x8D, 0x90) + [0x9D, 0x9E]),
    ("WINDOWS-1255", "cp1255",
     [0x81, 0x8A] + byte_range(0x8C, 0x90) + [0x9A] + byte_range(0x9C, 0x9F) + [0xCA]
     + byte_range(0xD9, 0xDF) + [0xFB, 0xFC, 0xFF]),
    ("WINDOWS-1256", "cp1256", []),
    ("WINDOWS-1257", "cp1257",
     [0x81, 0x83, 0x88, 0x8A, 0x8C, 0x90, 0x98, 0x9A, 0x9C, 0x9F, 0xA1, 0xA5]),
    ("WINDOWS-1258", "cp1258", [0x81, 0x8A] + byte_range(0x8D, 0x90) + [0x9A, 0x9D, 0x9E]),
    ("KOI8-R", "koi8_r", []),
    ("CP-895", None, []),
    ("CP852", "cp852", []),
]


def codec_table(codec):
    """The value of every byte 80 to FF; bytes the codec rejects are undefined."""
    values = []
    for byte in range(0x80, 0x100):
        try:
            text = bytes([byte]).decode(codec)
        except UnicodeDecodeError:
            values.append(UNDEFINED)
            continue
        if len(text) != 1 or ord(text) > 0xFFFF:
            raise SystemExit(f"{codec}: byte {byte:02X} is not one BMP character")
        values.append(ord(text))
    return values


def iso8859_7_1987():
    # The 2003 edition added the euro, the drachma and the ypogegrammeni; mail
    # software of the 1987 edition leaves these positions undefined.
    values = codec_table("iso8859_7")
    for byte, added in ((0xA4, 0x20AC), (0xA5, 0x20AF), (0xAA, 0x037A)):
        expect(values[byte - 0x80] == added, f"ISO-8859-7 {byte:02X} is U+{added:04X}")
        values[byte - 0x80] = UNDEFINED
    return values


def iso8859_8():
    values = codec_table("iso8859_8")
    for byte, value in ((0xDF, 0x2017), (0xFD, 0x200E), (0xFE, 0x200F)):
        expect(values[byte - 0x80] == value, f"ISO-8859-8 {byte:02X} is U+{value:04X}")
    return values


def kamenicky():
    values = KAMENICKY_80_AF + codec_table("cp437")[0x30:]
    for byte, (old, new) in sorted(KAMENICKY_CHANGES.items()):
        expect(values[byte - 0x80] == old, f"code page 437 {byte:02X} is U+{old:04X}")
        values[byte - 0x80] = new
    return values


def expect(condition, what):
    if not condition:
        raise SystemExit(f"gen_codetables: expected {what}")


def build_table(member, codec):
    if member == "ISO-8859-7":
        return iso8859_7_1987()
    if member == "ISO-8859-8":
        return iso8859_8()
    if member == "CP-895":
        return kamenicky()
    return codec_table(codec)


def check_table(member, values, undefined):
    expect(len(values) == 128, f"{member}: 128 entries")
    found = [0x80 + k for k, v in enumerate(values) if v == UNDEFINED]
    expect(found == sorted(undefined),
           f"{member}: undefined {' '.join(f'{b:02X}' for b in sorted(undefined))}, "
           f"found {' '.join(f'{b:02X}' for b in found)}")
    if member.startswith("ISO-8859"):
        expect(values[:0x20] == list(range(0x80, 0xA0)), f"{member}: 80-9F are C1 controls")


def render(tables):
    out = [
        "// Generated by tools/gen_codetables.py from Python's standard codecs; do not edit.",
        "// Entry k of a table is the Unicode value of byte 0x80 + k; FFFD marks a byte",
        "// that the charset leaves undefined.",
        '#include "velchar/velchar.h"',
        "",
        "namespace lumaro {",
        "",
        "namespace {",
        "",
        f"constexpr std::array<TCodeTable, {len(tables)}> CodeTables{{{{",
    ]
    for ordinal, (member, values) in enumerate(tables):
        out.append(f"    // {ordinal} {member}")
        out.append("    {{")
        for row in range(0, 128, 8):
            cells = ", ".join(f"0x{v:04X}" for v in values[row:row + 8])
            out.append(f"        {cells},  // {0x80 + row:02X}")
        out.append("    }},")
    out += [
        "}};",
        "",
        "}  // namespace",
        "",
        "const TCodeTable& LoadCodeTable(TCharsetId Id) {",
        "    size_t N = Ordinal(Id);",
        "    return N < CodeTables.size() ? CodeTables[N] : CodeTables[0];",
        "}",
        "",
        "}  // namespace lumaro",
        "",
    ]
    return "\n".join(out)


def main():
    tables = []
    for member, codec, undefined in TABLES:
        values = build_table(member, codec)
        check_table(member, values, undefined)
        tables.append((member, values))
    text = render(tables).encode("ascii")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = os.path.join(root, "velchar", "codetables.cpp")
    if "--check" in sys.argv[1:]:
        with open(path, "rb") as f:
            same = f.read() == text
        print(f"{path}: {'up to date' if same else 'DIFFERS'}")
        return 0 if same else 1
    with open(path, "wb") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
