#!/usr/bin/env python3
"""Adds help strings of enumeration values to a compiled type library.

usage: tlb_member_help.py IDL IN.tlb OUT.tlb

The IDL compiler refuses the helpstring attribute on enumeration values. The IDL
therefore writes them as trailing comments:

    typedef enum Name {
      VALUE_A = 1,   // helpstring("text of A")
      ...
    } Name;

This script reads those comments and writes the texts into the variable records of the
enumeration's type information in the type library (MSFT format): each record of such a
value grows by the two optional fields help context (0) and help string (an offset into
the string segment, to which the text is appended). Every file offset that lies behind
a changed part is moved accordingly.
"""
import re
import struct
import sys

HEADER_SIZE = 0x54
TYPEINFO_SIZE = 0x64
SEGMENT_COUNT = 15
SEG_TYPEINFO, SEG_NAME, SEG_STRING = 0, 7, 8
# Order of the segments in the file as the compiler writes them (indexes into the
# segment directory).
FILE_ORDER = [0, 4, 5, 3, 1, 2, 6, 7, 8, 9, 10, 11, 12]
VAR_RECORD_BASE = 0x14      # record without optional fields
VAR_RECORD_WITH_HELP = 0x1C  # ... plus help context and help string


class TlbError(Exception):
    pass


def enum_help_from_idl(text):
    """{enum name: {value name: help text}} from the trailing helpstring comments."""
    result = {}
    for m in re.finditer(r"typedef\s+(?:\[[^\]]*\]\s*)?enum\s+(\w+)\s*\{(.*?)\}", text, re.S):
        values = {}
        for line in m.group(2).splitlines():
            v = re.match(r'\s*(\w+)\s*(?:=[^/]*)?,?\s*//\s*helpstring\("((?:[^"\\]|\\.)*)"\)', line)
            if v:
                values[v.group(1)] = v.group(2).encode("ascii").decode("unicode_escape")
        if values:
            result[m.group(1)] = values
    return result


def encode_string(text):
    raw = text.encode("ascii")
    if len(raw) > 0xFFFF:
        raise TlbError("help string too long")
    data = struct.pack("<H", len(raw)) + raw
    if len(raw) < 3:
        data += b"\x57" * 4
    while len(data) % 4:
        data += b"\x57"
    return data


class TypeLib:
    def __init__(self, data):
        self.d = bytearray(data)
        if self.d[0:4] != b"MSFT":
            raise TlbError("not an MSFT type library")
        self.count = self.i32(0x20)
        varflags = self.i32(0x14)
        pos = HEADER_SIZE + (4 if varflags & 0x100 else 0) + 4 * self.count
        self.segdir = pos
        self.segs = [list(struct.unpack_from("<4i", self.d, pos + 16 * i)) for i in range(SEGMENT_COUNT)]

    def i32(self, off):
        return struct.unpack_from("<i", self.d, off)[0]

    def put32(self, off, value):
        struct.pack_into("<i", self.d, off, value)

    def name(self, off):
        base = self.segs[SEG_NAME][0] + off
        length = self.d[base + 8]
        return self.d[base + 12:base + 12 + length].decode("ascii")

    def typeinfo(self, index):
        return self.segs[SEG_TYPEINFO][0] + index * TYPEINFO_SIZE

    def find_typeinfo(self, name):
        for i in range(self.count):
            if self.name(self.i32(self.typeinfo(i) + 0x34)) == name:
                return i
        raise TlbError("no type information named %s" % name)

    def save_segdir(self):
        for i, seg in enumerate(self.segs):
            struct.pack_into("<4i", self.d, self.segdir + 16 * i, *seg)

    def shift_after(self, at, delta, skip_typeinfo=None):
        """Moves every segment and member block that starts at or behind `at`."""
        for seg in self.segs:
            if seg[0] != -1 and seg[0] >= at:
                seg[0] += delta
        self.save_segdir()
        for i in range(self.count):
            if i == skip_typeinfo:
                continue
            t = self.typeinfo(i)
            mem = self.i32(t + 4)
            if mem >= at:
                self.put32(t + 4, mem + delta)

    def add_string(self, text):
        """Appends a text to the string segment and returns its offset there."""
        seg = self.segs[SEG_STRING]
        if seg[0] == -1:
            raise TlbError("type library without string segment")
        data = encode_string(text)
        end = seg[0] + seg[1]
        offset = seg[1]
        self.d[end:end] = data
        seg[1] += len(data)
        self.save_segdir()
        # Everything behind the old end moves; the string segment itself stays.
        for other in self.segs:
            if other is not seg and other[0] != -1 and other[0] >= end:
                other[0] += len(data)
        self.save_segdir()
        for i in range(self.count):
            t = self.typeinfo(i)
            mem = self.i32(t + 4)
            if mem >= end:
                self.put32(t + 4, mem + len(data))
        return offset

    def set_value_help(self, type_name, help_by_value):
        index = self.find_typeinfo(type_name)
        t = self.typeinfo(index)
        if self.i32(t) & 0xF != 0:  # TKIND_ENUM
            raise TlbError("%s is not an enumeration" % type_name)
        elements = self.i32(t + 0x18)
        funcs, nvars = elements & 0xFFFF, (elements >> 16) & 0xFFFF
        if funcs:
            raise TlbError("%s has functions" % type_name)
        offsets = {value: self.add_string(text) for value, text in help_by_value.items()}

        block = self.i32(t + 4)
        size = self.i32(block)
        records = block + 4
        arrays = records + size  # ids, then names, then record offsets
        names = [self.name(self.i32(arrays + 4 * (nvars + i))) for i in range(nvars)]
        unknown = set(help_by_value) - set(names)
        if unknown:
            raise TlbError("%s has no value %s" % (type_name, ", ".join(sorted(unknown))))

        new_records = bytearray()
        new_offsets = []
        pos = records
        for i in range(nvars):
            info = self.i32(pos)
            length = info & 0xFFFF
            record = bytearray(self.d[pos:pos + length])
            pos += length
            if names[i] in offsets:
                if length != VAR_RECORD_BASE:
                    raise TlbError("%s.%s already has optional fields" % (type_name, names[i]))
                record += struct.pack("<ii", 0, offsets[names[i]])
                struct.pack_into("<i", record, 0, (info & ~0xFFFF) | VAR_RECORD_WITH_HELP)
            new_offsets.append(len(new_records))
            new_records += record
        if pos != arrays:
            raise TlbError("unexpected record layout in %s" % type_name)

        ids = self.d[arrays:arrays + 4 * nvars]
        name_offsets = self.d[arrays + 4 * nvars:arrays + 8 * nvars]
        new_block = (struct.pack("<i", len(new_records)) + new_records + ids + name_offsets
                     + b"".join(struct.pack("<i", o) for o in new_offsets))
        old_end = arrays + 12 * nvars
        delta = len(new_block) - (old_end - block)
        self.d[block:old_end] = new_block
        self.shift_after(old_end, delta, skip_typeinfo=index)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        helps = enum_help_from_idl(f.read())
    with open(argv[2], "rb") as f:
        lib = TypeLib(f.read())
    try:
        for type_name, values in helps.items():
            lib.set_value_help(type_name, values)
    except TlbError as e:
        sys.stderr.write("tlb_member_help: %s\n" % e)
        return 1
    with open(argv[3], "wb") as f:
        f.write(lib.d)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
