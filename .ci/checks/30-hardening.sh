#!/usr/bin/env bash
# Hardening: static analysis of src/, the test suite under AddressSanitizer
# and UndefinedBehaviorSanitizer and under valgrind, line and branch
# coverage of src/, and a minute of the differential fuzzer. Any finding
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
apt_install \
    cmake ninja-build g++ gcc libgtest-dev clang-14 libclang-rt-14-dev clang-tidy-14 \
    cppcheck valgrind gcovr >/dev/null

fuzz_seconds=${DRAVENIX_FUZZ_SECONDS:-60}

echo "--- static analysis of src/"
# The module with each stream layer that builds on Linux; the portable one
# takes its runtime calls from stdc/libc/.
for layer in glibc stdc; do
    folders=(-Isrc "-Isrc/$layer")
    sources=(src/Dravenix.cpp "src/$layer/stream.cpp")
    if [ "$layer" = stdc ]; then
        folders+=(-Isrc/stdc/libc)
        sources+=(src/stdc/libc/flush_on_unload.cpp)
    fi
    clang-tidy-14 --quiet "${sources[@]}" -- \
        -std=c++17 -Iinclude "${folders[@]}" -DDRAVENIX_BUILDING -D_FILE_OFFSET_BITS=64
    cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++17 \
        --enable=warning,style,performance,portability -Iinclude "${folders[@]}" \
        "${sources[@]}"
done

# The main suite runs as one process under the tools. The heap-use tests
# bring a malloc of their own, which the sanitizers and valgrind replace,
# so they are left to the other builds.
echo "--- test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
rm -rf build/linux-asan
cmake --preset linux-asan >/dev/null
cmake --build build/linux-asan -j2 --target dravenix_tests
# The largest FileReadString asks for 2^31 bytes; the allocator may refuse.
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    build/linux-asan/dravenix_tests --gtest_brief=1

echo "--- test suite under valgrind memcheck"
rm -rf build/linux-memcheck
cmake --preset linux-memcheck >/dev/null
cmake --build build/linux-memcheck -j2 --target dravenix_tests
# Every block FileReadString hands out is freed by the tests, so any leak
# is the library's.
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible \
    --track-origins=yes -q \
    build/linux-memcheck/dravenix_tests --gtest_brief=1

echo "--- coverage of src/"
rm -rf build/linux-coverage
cmake --preset linux-coverage >/dev/null
cmake --build build/linux-coverage -j2
ctest --preset linux-coverage >/dev/null
gcovr --root . --filter 'src/' --branches build/linux-coverage
# The report itself goes to a scratch file: gcovr replaces its output file
# with a new one, which for /dev/null, as root, would leave a regular file
# in its place and break every later redirection to it on the machine.
summary_report=$(mktemp)
gcovr --root . --filter 'src/' --print-summary --fail-under-line 100 \
    --output "$summary_report" build/linux-coverage
rm -f "$summary_report"

echo "--- differential fuzzer, ${fuzz_seconds} seconds"
rm -rf build/fuzz
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
# New inputs go to the scratch corpus; the seeds in the repository stay.
# An input runs in milliseconds; the generous timeout only keeps a busy
# machine's stall from passing for a hang.
status=0
build/fuzz/dravenix_fuzzer -max_total_time="$fuzz_seconds" -timeout=60 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" checkers/fuzzer/corpus \
    >"$work/log" 2>&1 || status=$?
grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::average_exec_per_sec' "$work/log" || true
if [ "$status" -ne 0 ]; then
    grep -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|RELOAD)' "$work/log" | tail -60
    for input in "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-*; do
        [ -e "$input" ] || continue
        echo "failing input $(basename "$input") (base64): $(base64 -w0 "$input")"
    done
    exit 1
fi
