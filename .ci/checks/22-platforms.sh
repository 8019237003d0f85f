#!/usr/bin/env bash
# Linux on 32-bit x86 (i686), and macOS.
#
# i686: built by Debian's i686-linux-gnu compilers while CMake is told the
# processor is x86_64, as in an i386 container on a 64-bit kernel: the SSE2
# flags follow the compiler's target all the same. The module's
# FileWriteDouble must load no value into the x87 unit (read with objdump,
# on every machine), and where the kernel runs 32-bit code the suite runs
# through the sysroot's loader, with the signalling NaN 7FF0000000000001
# written bit for bit; where it does not, the suite skips with a warning.
#
# macOS: the universal module (arm64 and x86_64), cross-built with LLVM 14
# against the SDK of cmake/macos-sdk.cmake, checked with LLVM's tools: a
# dynamic library named @rpath/Dravenix.dylib of both architectures,
# exporting exactly the sixteen, importing only libSystem, its arm64 code
# signed. The C example host builds for both. Nothing runs: this
# is no Mac. The macOS release archive is built twice in 50-package.sh.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
source .ci/platforms.sh
apt_install \
    cmake ninja-build g++ gcc binutils libgtest-dev python3 \
    g++-i686-linux-gnu binutils-i686-linux-gnu >/dev/null

echo "--- i686, with CMAKE_SYSTEM_PROCESSOR=x86_64: build"
start=$SECONDS
log=$(mktemp)
trap 'rm -f "$log"' EXIT
cmake --preset linux-i686 --fresh -DCMAKE_SYSTEM_PROCESSOR=x86_64 -DCMAKE_BUILD_TYPE=Release \
    >"$log" 2>&1 || { cat "$log"; exit 1; }
grep -q '^DRAVENIX_TARGET_IS_X86_32:INTERNAL=1$' build/linux-i686/CMakeCache.txt ||
    { echo "the i686 compilers were not taken for 32-bit x86"; exit 1; }
cmake --build --preset linux-i686 -j2
# x87 loads from memory (fld1 and fldz read none; register forms are not
# loads): a value loaded there comes out with a signalling NaN made quiet.
x87_loads=$(objdump -d --no-show-raw-insn --disassemble=FileWriteDouble build/linux-i686/Dravenix.so |
    awk '$2 ~ /^fi?ld[a-z]*$/ && $2 !~ /^fld(1|z|pi|l2e|l2t|lg2|ln2|cw|env)$/ && $3 !~ /^%st/')
if [ -n "$x87_loads" ]; then
    echo "FileWriteDouble of the i686 module loads values into the x87 unit:"
    echo "$x87_loads"
    exit 1
fi
echo "i686: FileWriteDouble moves the value through SSE2 registers only (objdump)"
if runs_32bit_linux; then
    echo "--- i686: test suite through the sysroot's loader"
    "${i686_loader[@]}" build/linux-i686/dravenix_tests --gtest_brief=1 \
        --gtest_filter=Values.DoublesKeepTheirExactBits
    echo "i686, CMake told x86_64: 7FF0000000000001 written bit for bit" \
         "(Values.DoublesKeepTheirExactBits)"
    ctest --preset linux-i686
else
    echo "WARNING: i686 test suite NOT RUN: this machine cannot execute 32-bit code" >&2
fi
echo "i686: $((SECONDS - start)) s"

echo "--- macOS: universal module, cross-built"
start=$SECONDS
install_macos_tools
cmake --preset macos-cross --fresh >/dev/null
cmake --build --preset macos-cross -j2
export_names=$(sed -n 's/^[[:space:]]\{1,\}\(File[A-Za-z0-9]*\)[[:space:]]\{1,\}@[0-9].*/\1/p' \
    src/Dravenix.def | paste -sd';' -)
cmake -DMODULE=build/macos-cross/Dravenix.dylib "-DEXPECTED=$export_names" \
    "-DARCHITECTURES=arm64;x86_64" -DLLVM_NM=llvm-nm-14 -DLLVM_OBJDUMP=llvm-objdump-14 \
    -DLLVM_LIPO=llvm-lipo-14 -P tests/check_macho_module.cmake
python3 tests/check_code_signature.py build/macos-cross/Dravenix.dylib
llvm-lipo-14 -info build/macos-cross/example_host
echo "macOS: $((SECONDS - start)) s"
echo "platforms check: $SECONDS s"
