#!/usr/bin/env bash
# The speed benchmark keeps building and running: one short pass over every
# op, in both kinds of host. No time is checked here; the measured ratios are
# in the README's Performance section.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends \
    cmake ninja-build g++ gcc binutils libbenchmark-dev

cmake --preset bench
cmake --build --preset bench -j2

output=$(./build/bench/dravenix_bench --benchmark_min_time=0.001 --benchmark_repetitions=1)
echo "$output"

# Every op must have been timed on both sides in both hosts: eleven rows a
# table, two tables.
rows=$(grep -cE '^File[A-Za-z0-9+ ]+(KiB )?/ ' <<<"$output" || true)
if [ "$rows" -ne 22 ]; then
    echo "expected 22 timed rows, found $rows" >&2
    exit 1
fi
grep -q 'Single-threaded host: the C runtime does not lock its streams' <<<"$output"
grep -q 'Multithreaded host: the C runtime locks its streams' <<<"$output"
