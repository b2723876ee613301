"""The version resource (VERSIONINFO) of a Windows PE file, read from the file
itself: the fixed numbers and the texts of its StringFileInfo.

    python3 pe_version.py FILE      prints what it found
"""

import struct
import sys

RT_VERSION = 16
RESOURCE_DIRECTORY = 2
FIXED_SIGNATURE = 0xFEEF04BD


class PeError(ValueError):
    pass


def unpack(fmt, data, offset):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PeError(f'{fmt} at {offset} lies beyond the {len(data)} bytes of the file')
    return struct.unpack_from(fmt, data, offset)


def sections(data):
    """(resource directory RVA, [(rva, size, file offset)]) of the PE file."""
    if data[:2] != b'MZ':
        raise PeError('no MZ header')
    (pe,) = unpack('<I', data, 0x3C)
    if data[pe:pe + 4] != b'PE\0\0':
        raise PeError('no PE signature')
    _, count, _, _, _, optional_size, _ = unpack('<HHIIIHH', data, pe + 4)
    optional = pe + 24
    (magic,) = unpack('<H', data, optional)
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -1)
    if directories < optional:
        raise PeError(f'unknown optional header {magic:#x}')
    resource_rva, _ = unpack('<II', data, directories + 8 * RESOURCE_DIRECTORY)
    table = optional + optional_size
    found = []
    for i in range(count):
        _, virtual_size, rva, raw_size, raw_offset = unpack('<8sIIII', data, table + 40 * i)
        found.append((rva, max(virtual_size, raw_size), raw_offset))
    return resource_rva, found


def file_offset(rva, table):
    for start, size, raw in table:
        if start <= rva < start + size:
            return raw + rva - start
    raise PeError(f'RVA {rva:#x} lies in no section')


def first_entry(data, base, directory, wanted_id=None):
    """The offset (within the resource section) of the first entry of a resource
    directory, or of the one with the given numeric id."""
    _, _, _, _, named, numbered = unpack('<IIHHHH', data, base + directory)
    for i in range(named + numbered):
        name, target = unpack('<II', data, base + directory + 16 + 8 * i)
        if wanted_id is None or (not name & 0x80000000 and name == wanted_id):
            return target
    raise PeError(f'no resource entry {wanted_id}')


def version_block(data):
    resource_rva, table = sections(data)
    if resource_rva == 0:
        raise PeError('no resource section')
    base = file_offset(resource_rva, table)
    entry = first_entry(data, base, 0, RT_VERSION)
    # Type, then name, then language: each level but the last is a subdirectory.
    for _ in range(2):
        if not entry & 0x80000000:
            raise PeError('the version resource has too few levels')
        entry = first_entry(data, base, entry & 0x7FFFFFFF)
    data_rva, size, _, _ = unpack('<IIII', data, base + entry)
    start = file_offset(data_rva, table)
    return data[start:start + size]


def read_node(block, offset):
    """One node of the version tree: (key, value bytes, children, end offset).
    Every node starts on a 32-bit boundary; its value and its children too."""
    length, value_length, kind = unpack('<HHH', block, offset)
    end = offset + length
    if length < 6 or end > len(block):
        raise PeError(f'a node of {length} bytes at {offset}')
    key_end = offset + 6
    while block[key_end:key_end + 2] != b'\0\0':
        key_end += 2
        if key_end >= end:
            raise PeError('a key without its end')
    key = block[offset + 6:key_end].decode('utf-16-le')
    value_start = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = block[value_start:value_start + value_size]
    children = []
    child = (value_start + value_size + 3) & ~3
    while child < end:
        node = read_node(block, child)
        children.append(node)
        child = (node[3] + 3) & ~3
    return key, value, children, end


def version_info(path):
    """{'FileVersion': (2, 1, 0, 0), 'ProductVersion': (...), 'FileType': n,
    'Strings': {name: text}} of the file."""
    with open(path, 'rb') as f:
        data = f.read()
    key, fixed, children, _ = read_node(version_block(data), 0)
    if key != 'VS_VERSION_INFO':
        raise PeError(f'the version resource starts with {key!r}')
    fields = unpack('<13I', fixed, 0)
    if fields[0] != FIXED_SIGNATURE:
        raise PeError('no fixed file information')

    def quad(high, low):
        return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)

    strings = {}
    for name, _, tables, _ in children:
        if name == 'StringFileInfo':
            for _, _, entries, _ in tables:
                for text_key, text, _, _ in entries:
                    strings[text_key] = text.decode('utf-16-le').rstrip('\0')
    return {'FileVersion': quad(fields[2], fields[3]),
            'ProductVersion': quad(fields[4], fields[5]),
            'FileType': fields[9],
            'Strings': strings}


if __name__ == '__main__':
    for name in sys.argv[1:]:
        print(name, version_info(name))
