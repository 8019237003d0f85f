#!/usr/bin/env python3
"""Writes the seed corpus: a few call sequences in the fuzzer's input format.

Each op is one byte (its number), then its arguments; see Input and
Run::step in call_driver.cpp for the encoding. The differential runner
replays them too (dravenix_differential --replay checkers/fuzzer/corpus/*)."""
import os
import struct

OPEN, OPEN_MANY, CLOSE, CLOSE_ALL, W8, W16, W32, WDOUBLE, WSTRING, R8, R16, R32, \
    RDOUBLE, RSTRING, SEEK, TELL, ISEOF = range(17)
F0, F1, F2, F3, MISSING, NULL_NAME = 0, 1, 2, 3, 4, 7
RB, R, WB, AB, RPB, RBP, WPB, APB, WBX, EMPTY, Z, BW, PR, NULL_MODE, WBP, ABP, WP, AP, WT = range(19)


def h(slot):            # handle naming a slot 0..7
    return bytes([0, slot])


def small(v):           # a number from -128 to 127
    return bytes([0, v & 0xFF])


def int32(v):           # any 32-bit integer
    return bytes([3]) + struct.pack('<i', v)


def raw(v):             # any double, bit for bit
    return bytes([2]) + struct.pack('<d', v)


def text(s):
    return bytes([2, len(s)]) + s


def origin(o):
    return bytes([o * 2])


seeds = {
    'round_trip': bytes([OPEN, F0, WB]) + bytes([W32]) + h(0) + int32(300) +
        bytes([W16]) + h(0) + small(-2) + bytes([WDOUBLE]) + h(0) + raw(1.0) +
        bytes([WSTRING]) + h(0) + text(b'Hi%') + bytes([CLOSE]) + h(0) +
        bytes([OPEN, F0, RB, R32]) + h(0) + bytes([R16]) + h(0) + bytes([RDOUBLE]) + h(0) +
        bytes([RSTRING]) + h(0) + small(3) + bytes([R8]) + h(0) + bytes([ISEOF]) + h(0) +
        bytes([CLOSE]) + h(0),
    'update_and_seek': bytes([OPEN, F1, WPB, W32]) + h(0) + int32(-7) + bytes([W8]) + h(0) +
        small(65) + bytes([SEEK]) + h(0) + small(0) + origin(0) + bytes([R16]) + h(0) +
        bytes([W8]) + h(0) + small(1) + bytes([SEEK]) + h(0) + small(2) + origin(2) +
        bytes([TELL]) + h(0) + bytes([R32]) + h(0) + bytes([ISEOF]) + h(0) +
        bytes([SEEK]) + h(0) + small(-1) + origin(0) + bytes([ISEOF]) + h(0),
    'full_table': bytes([OPEN, F0, WB, CLOSE]) + h(0) + bytes([OPEN_MANY, F0, RB, 255]) +
        bytes([OPEN, F1, WB, OPEN, NULL_NAME, WB, CLOSE]) + bytes([5, 100]) +
        bytes([OPEN, F1, WB, CLOSE_ALL]),
    'read_write_only': bytes([OPEN, F2, WB, WSTRING]) + h(0) + text(b'hello') +
        bytes([RSTRING]) + h(0) + int32(5000) + bytes([TELL]) + h(0) + bytes([R8]) + h(0) +
        bytes([WSTRING]) + h(0) + text(b'!') + bytes([CLOSE]) + h(0),
    'append_and_modes': bytes([OPEN, F3, AB, W8]) + h(0) + small(1) + bytes([OPEN, F2, APB]) +
        bytes([W16]) + h(1) + int32(70000) + bytes([SEEK]) + h(1) + small(0) + origin(0) +
        bytes([R8]) + h(1) + bytes([OPEN, F3, WBX, OPEN, MISSING, WB, OPEN, F0, Z]) +
        bytes([OPEN, F0, NULL_MODE, WSTRING]) + h(0) + bytes([0]) + bytes([CLOSE]) + bytes([6, 0]),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
os.makedirs(here, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(here, name), 'wb') as f:
        f.write(data)
