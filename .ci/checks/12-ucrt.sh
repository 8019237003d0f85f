#!/usr/bin/env bash
# Windows on the Universal C Runtime: Dravenix.dll for x64 and x86 built
# with mingw-w64 in UCRT mode (windows-ucrt-x64, windows-ucrt-x86), each
# checked for its exports and imports with objdump, then under wine: the
# whole suite, the full-device table, UTF-8 and long names and positions
# past 4 GiB by name, the differential runner's 2,000 sequences of 2,000
# calls, and one quick pass of the benchmark. Where 32-bit code cannot run,
# the x86 build is built and read with objdump only, with a warning. Then
# what clang-cl checks of the MSVC-style build (tests/check_msvc_build.sh).
#
# Each step prints its own duration. Runs from the repository root, as
# root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
source .ci/wine.sh
apt_install cmake ninja-build libgtest-dev clang-14 lld-14 llvm-14 >/dev/null
install_windows_toolchains

sequences=${DRAVENIX_DIFFERENTIAL_SEQUENCES:-2000}
calls=${DRAVENIX_DIFFERENTIAL_CALLS:-2000}
seed=${DRAVENIX_DIFFERENTIAL_SEED:-1000}
check_start=$(date +%s)

# Runs a step and prints how long it took.
#   step <title> <command...>
step() {
    local title=$1 start
    shift
    echo "--- $title"
    start=$(date +%s)
    "$@"
    echo "$title: $(($(date +%s) - start)) s"
}

# The tests the issue of a UCRT module turns on, run by name: none may be
# skipped, which would pass in silence.
named_tests() {
    local output
    output=$("$@" --gtest_filter='Fault.*FullDevice*:WindowsName*:Position.PositionsBeyondTwoGigabytesAreExact' 2>&1) || {
        echo "$output"
        return 1
    }
    grep -E '^\[ +(OK|SKIPPED) +\]' <<<"$output"
    if grep -q '^\[  SKIPPED \]' <<<"$output"; then
        echo "a named test was skipped" >&2
        return 1
    fi
    grep -q '^\[  PASSED  \]' <<<"$output"
}

# One quick pass of the benchmark: every op timed in both kinds of host.
quick_bench() {
    local output rows
    output=$(timeout 600 cmake --build --preset "$1" --target run-bench-quick 2>&1) || {
        echo "$output"
        return 1
    }
    echo "$output" | grep -E '^(File|op |Single|Multi)'
    rows=$(grep -cE '^File[A-Za-z0-9+ ]+(KiB )?/ ' <<<"$output" || true)
    [ "$rows" -eq 24 ] || { echo "expected 24 timed rows, found $rows" >&2; return 1; }
}

# The version resource's U.S. English block and names, decompiled by windres.
version_resource() {
    local resource
    resource=$(i686-w64-mingw32-windres -i "$1" -O rc)
    grep -F 'BLOCK "040904E4"' <<<"$resource"
    grep -F 'VALUE "ProductName", "Dravenix"' <<<"$resource"
    grep -F 'VALUE "OriginalFilename", "Dravenix"' <<<"$resource"
}

for arch in x64 x86; do
    preset=windows-ucrt-$arch
    case $arch in
    x64) loader=/usr/lib/wine/wine64 wine_arch=win64 ;;
    x86) loader=/usr/lib/wine/wine wine_arch=win32 ;;
    esac
    wine=(env WINEPREFIX="$PWD/build/$preset/wineprefix" WINEARCH="$wine_arch" WINEDEBUG=-all
        "$loader")

    # The benchmark builds with the suite, in the same folder.
    step "$preset: build" bash -c "cmake --preset $preset --fresh -DDRAVENIX_BUILD_BENCH=ON \
        >/dev/null && cmake --build --preset $preset -j2"
    step "$preset: export and import tables" \
        cmake --build --preset "$preset" --target check-dll
    if [ "$arch" = x86 ]; then
        # SSE2 only, read from the DLL's code: no x87 control-word switch,
        # no x87 load of FileWriteDouble's value.
        step "$preset: x87 work in the exports" bash tests/check_x86_conversions.sh \
            --fail-on-fldcw --fail-on-write-double-x87-load "build/$preset/Dravenix.dll"
        # The version resource, read from the file (the suite reads it
        # through Windows' own calls where it runs).
        step "$preset: version resource" version_resource "build/$preset/Dravenix.dll"
    fi

    if [ "$arch" = x86 ] && ! runs_32bit_wine; then
        echo "WARNING: $preset suite, differential run and benchmark NOT RUN:" \
             "$(no_32bit_wine_reason);" \
             "the x86 DLL was built and its tables checked only" >&2
        continue
    fi

    step "$preset: wine prefix" cmake --build --preset "$preset" --target wine-prefix
    step "$preset: test suite under wine" ctest --preset "$preset"
    step "$preset: full device, names, positions past 4 GiB" \
        named_tests "${wine[@]}" "build/$preset/dravenix_tests.exe"
    step "$preset: differential, $sequences sequences of $calls calls (seed $seed)" \
        "${wine[@]}" "build/$preset/dravenix_differential.exe" \
        --sequences "$sequences" --calls "$calls" --seed "$seed"
    step "$preset: benchmark, one quick pass" quick_bench "$preset"
done
# MSVC's conventions, as far as clang-cl, lld-link and llvm-rc check them
# without MSVC's headers.
step "MSVC-style build: flags, resource, export list" \
    bash tests/check_msvc_build.sh build/msvc-conventions
echo "UCRT check: $(($(date +%s) - check_start)) s"
