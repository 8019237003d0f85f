#!/usr/bin/env bash
# Windows builds: Dravenix.dll for x64 and x86, cross-built with mingw-w64
# (warnings are errors) and tested under wine, each in a wine prefix of its
# build folder's own.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
source .ci/wine.sh
apt_install cmake ninja-build libgtest-dev
install_windows_toolchains

# Where the kernel runs no 32-bit code, qemu-user can run wine's 32-bit
# loader instead, through a binfmt entry that lasts as long as this script.
# It is slow (booting the prefix takes ten minutes or more, and each wine
# process minutes) and the boot has been seen to hang, so it runs only on
# request, DRAVENIX_X86_UNDER_QEMU=1, within time limits, and the suite runs
# as one process.
run_x86_suite_under_qemu() {
    local entry=/proc/sys/fs/binfmt_misc/dravenix-i386
    apt_install qemu-user
    mountpoint -q /proc/sys/fs/binfmt_misc ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    echo ':dravenix-i386:M::\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:' \
        >/proc/sys/fs/binfmt_misc/register
    trap 'echo -1 >'"$entry" EXIT
    # All 4 GiB for the guest, so that the addresses wine maps at fixed
    # places are free; without its preloader wine must not re-execute itself.
    export QEMU_RESERVED_VA=0xffff0000 WINELOADERNOEXEC=1
    timeout 1800 cmake --build --preset windows-x86 --target wine-prefix
    timeout 1200 env WINEPREFIX="$PWD/build/windows-x86/wineprefix" WINEARCH=win32 \
        WINEDEBUG=-all /usr/lib/wine/wine build/windows-x86/dravenix_tests.exe
}

for arch in x64 x86; do
    preset=windows-$arch
    echo "--- $preset: build"
    cmake --preset "$preset" --fresh >/dev/null
    cmake --build --preset "$preset" -j2

    if [ "$arch" = x86 ] && ! runs_32bit_wine; then
        echo "--- $preset: export and import tables"
        cmake --build --preset "$preset" --target check-dll
        if [ "${DRAVENIX_X86_UNDER_QEMU:-0}" = 1 ]; then
            echo "--- $preset: test suite under wine, under qemu-i386"
            run_x86_suite_under_qemu
        else
            echo "WARNING: $preset test suite NOT RUN: $(no_32bit_wine_reason);" \
                 "DRAVENIX_X86_UNDER_QEMU=1 runs it under qemu-i386" >&2
        fi
        continue
    fi

    echo "--- $preset: test suite under wine"
    # One wine process makes the prefix before the tests start two at a time.
    cmake --build --preset "$preset" --target wine-prefix
    ctest --preset "$preset"
done
