#!/usr/bin/env python3
"""Checks the ad-hoc code signature of each arm64 slice of a Mach-O file.

    check_code_signature.py <file>

macOS on Apple silicon loads no arm64 code without a signature whose page
hashes match the pages, and a tool that rewrites a linked module (strip,
install_name_tool) must sign it anew. For each arm64 slice, thin or in a
universal file, this reads the code directory of LC_CODE_SIGNATURE and
compares every page's hash with the slice's bytes. Exits 1 on a slice
without a signature or with a hash that does not match, 2 on a file it
cannot read.
"""
import hashlib
import struct
import sys

FAT_MAGIC = 0xCAFEBABE
MH_MAGIC_64 = 0xFEEDFACF
CPU_TYPE_ARM64 = 0x0100000C
LC_CODE_SIGNATURE = 0x1D
CSMAGIC_EMBEDDED_SIGNATURE = 0xFADE0CC0
CSMAGIC_CODEDIRECTORY = 0xFADE0C02
CSSLOT_CODEDIRECTORY = 0
HASHES = {1: hashlib.sha1, 2: hashlib.sha256}


def slices(data):
    """(cpu type, offset, size) of each slice."""
    (magic,) = struct.unpack_from(">I", data, 0)
    if magic == FAT_MAGIC:
        (count,) = struct.unpack_from(">I", data, 4)
        for index in range(count):
            cpu, _, offset, size, _ = struct.unpack_from(">iiIII", data, 8 + 20 * index)
            yield cpu & 0xFFFFFFFF, offset, size
    else:
        magic, cpu = struct.unpack_from("<Ii", data, 0)
        if magic != MH_MAGIC_64:
            raise ValueError("not a 64-bit Mach-O file")
        yield cpu & 0xFFFFFFFF, 0, len(data)


def signature_range(image):
    """(offset, size) of the signature that LC_CODE_SIGNATURE names, or None."""
    magic, _, _, _, ncmds, _, _, _ = struct.unpack_from("<IiiIIIII", image, 0)
    if magic != MH_MAGIC_64:
        raise ValueError("a slice is not a 64-bit Mach-O image")
    position = 32
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack_from("<II", image, position)
        if cmd == LC_CODE_SIGNATURE:
            return struct.unpack_from("<II", image, position + 8)
        position += cmdsize
    return None


def check_slice(image):
    """The problems of one arm64 slice: none when its page hashes match."""
    found = signature_range(image)
    if found is None:
        return ["no code signature"]
    offset, _ = found
    magic, _, count = struct.unpack_from(">III", image, offset)
    if magic != CSMAGIC_EMBEDDED_SIGNATURE:
        return ["no embedded signature at the offset LC_CODE_SIGNATURE names"]
    for index in range(count):
        slot, blob = struct.unpack_from(">II", image, offset + 12 + 8 * index)
        if slot != CSSLOT_CODEDIRECTORY:
            continue
        directory = offset + blob
        (magic, _, _, _, hash_offset, _, _, code_slots, code_limit, hash_size, hash_type, _,
         page_shift) = struct.unpack_from(">IIIIIIIIIBBBB", image, directory)
        if magic != CSMAGIC_CODEDIRECTORY or hash_type not in HASHES:
            return ["a code directory of an unknown kind"]
        page = 1 << page_shift
        problems = []
        if code_limit != offset:
            problems.append(f"the signature covers {code_limit} bytes, not the {offset} before it")
        if code_slots != (code_limit + page - 1) // page:
            problems.append(f"{code_slots} page hashes for {code_limit} bytes")
        for number in range(code_slots):
            start = number * page
            want = image[directory + hash_offset + number * hash_size:][:hash_size]
            got = HASHES[hash_type](image[start:min(start + page, code_limit)]).digest()[:hash_size]
            if got != want:
                problems.append(f"page {number} does not match its hash")
        return problems
    return ["no code directory in the signature"]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    try:
        with open(sys.argv[1], "rb") as file:
            data = file.read()
        arm64 = [(offset, size) for cpu, offset, size in slices(data) if cpu == CPU_TYPE_ARM64]
        results = [check_slice(data[offset:offset + size]) for offset, size in arm64]
    except (OSError, ValueError, struct.error) as error:
        print(f"{sys.argv[1]}: {error}")
        sys.exit(2)
    if not arm64:
        print(f"{sys.argv[1]}: no arm64 slice")
        sys.exit(1)
    failed = False
    for problems in results:
        for problem in problems:
            print(f"{sys.argv[1]} (arm64): {problem}")
            failed = True
    if failed:
        sys.exit(1)
    print(f"{sys.argv[1]} (arm64): ad-hoc signature matches every page")


if __name__ == "__main__":
    main()
