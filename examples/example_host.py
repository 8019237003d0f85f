#!/usr/bin/env python3
"""example_host.py: a Python host for Dravenix, through ctypes.

Loads the module by path, declares its exports with the types of
Dravenix.h (every number a c_double, every string a c_char_p), writes a small
file of mixed values, reads it back and checks each result and the file's
bytes.

Usage: python3 example_host.py [module-path [data-file]]
Exits with 0 when everything came back as written, 1 otherwise.
"""

import ctypes
import os
import sys

DEFAULT_MODULE = "Dravenix.dll" if os.name == "nt" else "./Dravenix.so"

NUMBER = ctypes.c_double
TEXT = ctypes.c_char_p
# FileReadString's result is declared as a bare address, not c_char_p: with
# c_char_p, ctypes would copy the string up to its first zero byte and drop
# the address, so the block could never be freed and any bytes after a zero
# byte would be lost.
ADDRESS = ctypes.c_void_p

SIGNATURES = {
    "FileOpen": (NUMBER, [TEXT, TEXT]),
    "FileClose": (NUMBER, [NUMBER]),
    "FileCloseAll": (NUMBER, []),
    "FileWrite8": (NUMBER, [NUMBER, NUMBER]),
    "FileWrite16": (NUMBER, [NUMBER, NUMBER]),
    "FileWrite32": (NUMBER, [NUMBER, NUMBER]),
    "FileWriteDouble": (NUMBER, [NUMBER, NUMBER]),
    "FileWriteString": (NUMBER, [NUMBER, TEXT]),
    "FileRead8": (NUMBER, [NUMBER]),
    "FileRead16": (NUMBER, [NUMBER]),
    "FileRead32": (NUMBER, [NUMBER]),
    "FileReadDouble": (NUMBER, [NUMBER]),
    "FileReadString": (ADDRESS, [NUMBER, NUMBER]),
    "FileSeek": (NUMBER, [NUMBER, NUMBER, NUMBER]),
    "FileTell": (NUMBER, [NUMBER]),
    "FileIsEOF": (NUMBER, [NUMBER]),
}


def load_module(path):
    # CDLL calls with the C calling convention (cdecl on 32-bit Windows),
    # which is the one Dravenix exports use.
    module = ctypes.CDLL(path)
    for name, (result, arguments) in SIGNATURES.items():
        function = getattr(module, name)
        function.restype = result
        function.argtypes = arguments
    return module


def c_runtime_free():
    """The free() that matches the module's malloc(), or None.

    On Linux and other POSIX systems one C library serves the whole process,
    so its free() releases the module's blocks. On Windows a DLL may carry
    its own C runtime, and a Python host cannot tell which one; freeing a
    block with another runtime's free() corrupts the heap. There the host
    keeps its blocks: each is count + 1 bytes and lives until the process
    ends.
    """
    if os.name == "nt":
        return None
    free = ctypes.CDLL(None).free
    free.restype = None
    free.argtypes = [ctypes.c_void_p]
    return free


def block_length(count):
    """The number of bytes FileReadString reads for count.

    The library truncates count toward zero to a 32-bit integer and reads
    nothing for zero, a negative count, NaN, an infinity or a count out of
    the 32-bit range. Copying more than it read would run past the block.
    """
    if not -2147483649.0 < count < 2147483648.0:  # NaN fails this too
        return 0
    return max(int(count), 0)


class StringReader:
    """Copies FileReadString's blocks into Python bytes and releases them."""

    def __init__(self, module):
        self.module = module
        self.free = c_runtime_free()
        # A refused handle returns the library's one failure string. Its
        # address tells a failure apart from a read that began with a zero
        # byte, and it must never be freed.
        self.failure = module.FileReadString(-1, 0)

    def read(self, handle, count):
        address = self.module.FileReadString(handle, count)
        if address == self.failure:
            return None
        # The block holds all count bytes, zero bytes and FF fill included.
        data = ctypes.string_at(address, block_length(count))
        if self.free is not None:
            self.free(address)
        return data


class Checker:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def call(self, label, got, expected):
        ok = got == expected
        # -0.0 == 0.0 in Python: compare doubles by their bits as well.
        if ok and isinstance(expected, float):
            ok = repr(got) == repr(expected)
        self.passed += ok
        self.failed += not ok
        mark = "" if ok else f"   <-- expected {expected!r}"
        print(f"{label:34} = {got!r}{mark}")
        return got


# Mixed values, the result each write returns, and the bytes it puts in the
# file. The zero byte between the two strings shows why a host copies the
# returned block by its length rather than up to its first zero.
WRITES = [
    ("FileWrite8", 300, 44, "2C"),
    ("FileWrite16", -2, 1, "FE FF"),
    ("FileWrite32", 300, 1, "2C 01 00 00"),
    ("FileWriteDouble", 1.0, 1, "00 00 00 00 00 00 F0 3F"),
    ("FileWriteDouble", -0.0, 1, "00 00 00 00 00 00 00 80"),
    ("FileWriteString", b"Hi%", 3, "48 69 25"),
    ("FileWrite8", 0, 0, "00"),
    ("FileWriteString", b"ok", 2, "6F 6B"),
]

# What reading the file back gives, call by call. The last read asks for
# two bytes more than are left: they come back as FF.
READS = [
    ("FileRead8", (), 44.0),
    ("FileRead16", (), -2.0),
    ("FileRead32", (), 300.0),
    ("FileReadDouble", (), 1.0),
    ("FileReadDouble", (), -0.0),
    ("FileReadString", (6,), b"Hi%\x00ok"),
    ("FileTell", (), 29.0),
    ("FileIsEOF", (), 0.0),
    ("FileReadString", (2,), b"\xff\xff"),
    ("FileIsEOF", (), 16.0),
]


def main(argv):
    module_path = argv[1] if len(argv) > 1 else DEFAULT_MODULE
    data_path = argv[2] if len(argv) > 2 else "example_py.bin"
    dravenix = load_module(module_path)
    strings = StringReader(dravenix)
    check = Checker()
    name = os.fsencode(data_path)

    print(f"Writing {data_path}")
    h = check.call(f'FileOpen("{data_path}", "wb")', dravenix.FileOpen(name, b"wb"), 0.0)
    if h < 0:
        return 1
    for export, value, result, _ in WRITES:
        got = getattr(dravenix, export)(h, value)
        check.call(f"{export}({h:g}, {value!r})", got, float(result))
    check.call(f"FileClose({h:g})", dravenix.FileClose(h), 0.0)

    with open(data_path, "rb") as written:
        contents = written.read()
    expected = bytes.fromhex(" ".join(hex_bytes for *_, hex_bytes in WRITES))
    print()
    check.call(f"{data_path} ({len(contents)} bytes)",
               contents.hex(" ").upper(), expected.hex(" ").upper())
    print()

    print("Reading it back")
    h = check.call(f'FileOpen("{data_path}", "rb")', dravenix.FileOpen(name, b"rb"), 0.0)
    if h < 0:
        return 1
    for export, arguments, expected in READS:
        if export == "FileReadString":
            got = strings.read(h, *arguments)
        else:
            got = getattr(dravenix, export)(h, *arguments)
        label = f"{export}({', '.join(f'{a:g}' for a in (h, *arguments))})"
        check.call(label, got, expected)
    check.call(f"FileClose({h:g})", dravenix.FileClose(h), 0.0)

    # A refused handle: a failure value, and the failure string is not freed.
    check.call("FileClose(256)", dravenix.FileClose(256), -1.0)
    check.call("FileReadString(256, 4)", strings.read(256, 4), None)

    print(f"\nexample_host.py: {check.passed} passed, {check.failed} failed")
    return 0 if check.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
