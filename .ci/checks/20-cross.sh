#!/usr/bin/env bash
# Cross builds for s390x (big-endian), aarch64, 32-bit Arm (armhf), riscv64
# and ppc64le, run under qemu-user, and the x86-64 build against musl. (32-bit
# x86 Linux and macOS: 22-platforms.sh.)
#
# Both test suites must pass unchanged, and the example host must write the
# same bytes on every processor and C library as on this x86-64 glibc build
# host: the encodings are little-endian by definition, and a big-endian host
# is where a write of native memory would show.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

# Each CPU: its preset's name, Debian's cross triple, and the qemu-user
# program that runs it.
cpus=(
    "s390x s390x-linux-gnu qemu-s390x"
    "aarch64 aarch64-linux-gnu qemu-aarch64"
    "armhf arm-linux-gnueabihf qemu-arm"
    "riscv64 riscv64-linux-gnu qemu-riscv64"
    "ppc64le powerpc64le-linux-gnu qemu-ppc64le"
)

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
apt_install \
    cmake ninja-build g++ gcc binutils libgtest-dev qemu-user musl musl-dev musl-tools \
    g++-s390x-linux-gnu binutils-s390x-linux-gnu \
    g++-aarch64-linux-gnu binutils-aarch64-linux-gnu \
    g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf \
    g++-riscv64-linux-gnu binutils-riscv64-linux-gnu \
    g++-powerpc64le-linux-gnu binutils-powerpc64le-linux-gnu

# The bytes the example host's calls must give (the README's worked example):
# FileWrite8 300, FileWrite16 -2, FileWrite32 300, FileWriteDouble 1.0,
# FileWriteString "Hi%".
expected_example='\x2C\xFE\xFF\x2C\x01\x00\x00\x00\x00\x00\x00\x00\x00\xF0\x3F\x48\x69\x25'

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs a build's example host in a folder of its own, so that every run
# writes a file of the same name and prints the same transcript.
#   run_example <name> <build-folder> [emulator...]
run_example() {
    local name=$1 build=$2
    shift 2
    mkdir "$scratch/$name"
    (cd "$scratch/$name" &&
        "$@" "$build/example_host" "$build/Dravenix.so" example.bin >transcript.txt)
}

echo "--- x86-64: example host"
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target example_host Dravenix
run_example x86-64 "$PWD/build/linux"
cmp "$scratch/x86-64/example.bin" <(printf "$expected_example")

for cpu in "${cpus[@]}"; do
    read -r arch triple qemu <<<"$cpu"
    start=$SECONDS
    echo "--- $arch: build and test suite under $qemu"
    cmake --preset "linux-$arch" --fresh >/dev/null
    cmake --build --preset "linux-$arch" -j2
    ctest --preset "linux-$arch"

    echo "--- $arch: example host, compared with x86-64"
    run_example "$arch" "$PWD/build/linux-$arch" "$qemu" -L "/usr/$triple"
    cmp "$scratch/x86-64/example.bin" "$scratch/$arch/example.bin"
    # The values read back, not only the bytes written, must agree.
    cmp "$scratch/x86-64/transcript.txt" "$scratch/$arch/transcript.txt"
    echo "$arch: example.bin ($(wc -c <"$scratch/$arch/example.bin") bytes) and transcript" \
         "identical to x86-64; built and tested in $((SECONDS - start)) s"
done

# musl: the module and the example host run on musl's loader and libc.so
# alone. The differential runner runs in 25-differential.sh.
echo "--- musl: build, example host compared with x86-64"
cmake --preset linux-musl --fresh >/dev/null
cmake --build --preset linux-musl -j2 --target example_host Dravenix dravenix_host_support_test
# What the C++ test hosts take from cmake/musl/glibc_symbols.c.
build/linux-musl/dravenix_host_support_test
for program in Dravenix.so example_host; do
    needed=$(readelf -d "build/linux-musl/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    if [ "$needed" != libc.so ]; then
        echo "build/linux-musl/$program needs: $needed (expected only musl's libc.so)" >&2
        exit 1
    fi
done
cmake -DMODULE=build/linux-musl/Dravenix.so "-DEXPECTED=$(sed -n 's/^[ \t]*\(File[A-Za-z0-9]*\)[ \t]*@.*/\1/p' src/Dravenix.def | paste -sd ';')" \
    -DNM=nm -DREADELF=readelf -P tests/check_exports.cmake
run_example musl "$PWD/build/linux-musl"
cmp "$scratch/x86-64/example.bin" "$scratch/musl/example.bin"
cmp "$scratch/x86-64/transcript.txt" "$scratch/musl/transcript.txt"
echo "musl: example.bin ($(wc -c <"$scratch/musl/example.bin") bytes) and transcript identical to x86-64"
