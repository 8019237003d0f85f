#!/usr/bin/env bash
# Windows builds: Dravenix.dll for x64 and x86, cross-built with mingw-w64
# (warnings are errors) and tested under wine, each in a wine prefix of its
# build folder's own.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
# 32-bit wine comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt-get update -q
fi
apt-get install -y -q --no-install-recommends \
    cmake ninja-build libgtest-dev \
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
# wine32 goes in before any prefix is made, as a 64-bit prefix needs it to
# run 32-bit programs.
apt-get install -y -q --no-install-recommends wine32:i386
apt-get install -y -q --no-install-recommends wine wine64

# Some kernels run no 32-bit code at all (IA-32 emulation disabled); then
# neither wine's 32-bit loader nor a 32-bit Windows program can start.
runs_32bit_programs() {
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

for arch in x64 x86; do
    preset=windows-$arch
    echo "--- $preset: build"
    cmake --preset "$preset" --fresh >/dev/null
    cmake --build --preset "$preset" -j2

    if [ "$arch" = x86 ] && ! runs_32bit_programs; then
        echo "--- $preset: export and import tables only"
        cmake --build --preset "$preset" --target check-dll
        echo "WARNING: $preset test suite NOT RUN: this machine cannot execute" \
             "32-bit code ($(/usr/lib/wine/wine --version 2>&1 | tail -n 1))" >&2
        continue
    fi

    echo "--- $preset: test suite under wine"
    # One wine process makes the prefix before the tests start two at a time.
    cmake --build --preset "$preset" --target wine-prefix
    ctest --preset "$preset"
done
