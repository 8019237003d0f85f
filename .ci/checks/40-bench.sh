#!/usr/bin/env bash
# The speed benchmark keeps building and running: one short pass over every
# op, in both kinds of host, natively on Linux (with glibc's stream layer and
# with the portable one) and for both Windows DLLs under wine. No time is checked here, only that every op was timed; the
# measured ratios are in the README's Performance section. Then a report of
# the x87 control word switches in the x86 DLL's exports.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
source .ci/wine.sh
apt_install \
    cmake ninja-build g++ gcc binutils libbenchmark-dev
install_windows_toolchains

# Every op must have been timed on both sides in both hosts: twelve rows a
# table, two tables. $2 says whether the single-threaded host's C runtime
# locks its streams (msvcrt always does).
check_tables() {
    local output=$1 single_host_locking=$2 rows
    rows=$(grep -cE '^File[A-Za-z0-9+ ]+(KiB )?/ ' <<<"$output" || true)
    if [ "$rows" -ne 24 ]; then
        echo "expected 24 timed rows, found $rows" >&2
        exit 1
    fi
    grep -q "Single-threaded host: the C runtime $single_host_locking its streams" <<<"$output"
    grep -q 'Multithreaded host: the C runtime locks its streams' <<<"$output"
}

# Prints the run's output, and fails only if the run did (a crash).
run_quick_pass() {
    local output
    if ! output=$("$@" 2>&1); then
        echo "$output"
        echo "the benchmark did not finish" >&2
        exit 1
    fi
    echo "$output"
    quick_pass_output=$output
}

for preset in bench bench-portable; do
    echo "--- Linux x86-64: $preset"
    start=$(date +%s)
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
    run_quick_pass "./build/$preset/dravenix_bench" --benchmark_min_time=0.001 \
        --benchmark_repetitions=1
    check_tables "$quick_pass_output" "does not lock"
    echo "$preset: $(($(date +%s) - start)) s"
done

for arch in x64 x86; do
    preset=bench-windows-$arch
    echo "--- $preset: build"
    cmake --preset "$preset" --fresh >/dev/null
    cmake --build --preset "$preset" -j2
    if [ "$arch" = x86 ] && ! runs_32bit_wine; then
        echo "WARNING: $preset NOT RUN: $(no_32bit_wine_reason); the x86 DLL was built only" >&2
        continue
    fi
    echo "--- $preset: quick pass under wine"
    # The first wine process of a fresh prefix boots it, which can take a
    # while on a busy machine; a hang is a failure.
    run_quick_pass timeout 900 cmake --build --preset "$preset" --target run-bench-quick
    check_tables "$quick_pass_output" locks
done

# Fast and exact by construction on x86, read from the DLL's code, which
# needs no 32-bit machine: no export switches the x87 control word to
# convert a number, and FileWriteDouble never loads its value into an x87
# register, which would quiet a signalling NaN.
echo "--- windows-x86: x87 work in the exports"
[ -f build/windows-x86/build.ninja ] || cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 --target Dravenix
bash tests/check_x86_conversions.sh --fail-on-fldcw --fail-on-write-double-x87-load \
    build/windows-x86/Dravenix.dll
