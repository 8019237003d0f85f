#!/usr/bin/env bash
# What of the MSVC-style build can be checked without MSVC, its headers or
# a Windows SDK, with Debian's clang-cl, lld-link and llvm-rc, which take
# cl.exe's, link.exe's and rc.exe's command lines:
#
#  1. CMake configures the project with clang-cl for x64 and x86, and gives
#     the module MSVC's flags only: /EHs-c- /GR- /W4, /WX when asked, no
#     /EHsc, and none of GCC's or GNU ld's (-f..., -W..., -Wl,...,
#     -msse2); the link gets the export list as /DEF:.
#  2. rc.exe's language: llvm-rc compiles src/Dravenix.rc (with mingw-w64's
#     winver.h) into the version resource.
#  3. link.exe's reading of src/Dravenix.def: lld-link links the sixteen
#     exports (C stand-ins, built by clang-cl) into a DLL whose name,
#     ordinals and undecorated x86 names tests/check_pe_module.cmake checks.
#
# Compiling the module itself needs MSVC's or the SDK's headers, which
# Debian does not ship: mingw-w64's do not take MSVC mode.
#   tests/check_msvc_build.sh <scratch folder>
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$1
rm -rf "$scratch" && mkdir -p "$scratch"

failures=0
for arch in x64 x86; do
    case $arch in
    x64) target=x86_64-pc-windows-msvc processor=AMD64 machine=x64 objdump=x86_64-w64-mingw32-objdump ;;
    x86) target=i686-pc-windows-msvc processor=X86 machine=x86 objdump=i686-w64-mingw32-objdump ;;
    esac
    work=$scratch/$arch
    mkdir -p "$work"
    cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER clang-cl-14)
set(CMAKE_CXX_COMPILER clang-cl-14)
set(CMAKE_C_COMPILER_TARGET $target)
set(CMAKE_CXX_COMPILER_TARGET $target)
set(CMAKE_LINKER lld-link-14)
set(CMAKE_RC_COMPILER llvm-rc-14)
set(CMAKE_MT llvm-mt-14)
# No C runtime to link test programs against: CMake's checks compile only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
EOF
    echo "--- clang-cl $arch: configure"
    cmake -G Ninja -S "$source_dir" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVENIX_BUILD_TESTS=OFF -DDRAVENIX_BUILD_EXAMPLES=OFF \
        -DDRAVENIX_BUILD_BENCH=OFF -DDRAVENIX_WERROR=ON >"$work/configure.log" 2>&1 ||
        { cat "$work/configure.log"; exit 1; }
    grep -q 'Dravenix stream layer: ucrt' "$work/configure.log" ||
        { echo "clang-cl $arch: the UCRT layer was not chosen" >&2; failures=1; }

    # The module's compile and link lines, from the generated build.
    ninja -C "$work/build" -t commands Dravenix >"$work/commands.txt" 2>/dev/null || true
    compile=$(grep -E 'clang-cl-14 .*src/(Dravenix|stdc/stream|win/[a-z_]+)\.cpp' "$work/commands.txt" || true)
    link=$(grep -E 'Dravenix\.dll' "$work/commands.txt" | grep -v 'clang-cl-14 .* -c ' | tail -n 1 || true)
    [ -n "$compile" ] || { echo "clang-cl $arch: no compile line for the module" >&2; failures=1; }
    for flag in /EHs-c- /GR- /W4 /WX; do
        if grep -vqF -- " $flag " <<<"$compile "; then
            echo "clang-cl $arch: a module source compiles without $flag" >&2
            failures=1
        fi
    done
    if grep -qE ' (/EHsc|-f[a-z]|-W[a-z]|-Wl,|-m[a-z])' <<<"$compile $link"; then
        echo "clang-cl $arch: GCC or GNU ld flags reach MSVC's tools:" >&2
        grep -oE ' (/EHsc|-f[a-z][^ ]*|-W[a-z][^ ]*|-Wl,[^ ]*|-m[a-z][^ ]*)' <<<"$compile $link" | sort -u >&2
        failures=1
    fi
    grep -qF "/DEF:$source_dir/src/Dravenix.def" <<<"$link" ||
        { echo "clang-cl $arch: the link does not take /DEF:" >&2; failures=1; }

    echo "--- llvm-rc $arch: the version resource"
    ninja -C "$work/build" src/Dravenix_version.h >/dev/null 2>&1 || true
    # "--" ends the options: rc.exe's reading takes an absolute path such as
    # /check/... for the /c (code page) option.
    llvm-rc-14 -I /usr/share/mingw-w64/include -I "$work/build/src" /fo "$work/Dravenix.res" -- \
        "$source_dir/src/Dravenix.rc" || failures=1

    echo "--- lld-link $arch: the export list"
    {
        echo '// The sixteen exports, as stand-ins; no C runtime is linked.'
        echo 'int _fltused;'
        sed -n 's/^ *\(File[A-Za-z0-9]*\) *@[0-9]*$/__declspec(noinline) double \1(void) { return 0; }/p' \
            "$source_dir/src/Dravenix.def"
    } >"$work/exports.c"
    clang-cl-14 --target=$target /nologo /c /Zl /Fo"$work/exports.obj" -- "$work/exports.c"
    lld-link-14 /nologo /dll /noentry /nodefaultlib /machine:$machine \
        /def:"$source_dir/src/Dravenix.def" /out:"$work/Dravenix.dll" \
        "$work/exports.obj" "$work/Dravenix.res"
    # Each name with its number, as the .def gives them: lld-link 14 starts
    # an x86 table at 0 with an empty first entry where link.exe starts at
    # the lowest number, so the numbers are compared, not the table's shape.
    expected=$(sed -n 's/^ *\(File[A-Za-z0-9]*\) *@\([0-9]*\)$/\2=\1/p' "$source_dir/src/Dravenix.def")
    headers=$($objdump -p "$work/Dravenix.dll")
    found=$(awk '
        /^Ordinal Base/ { base = $3 }
        /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
        table && /^\t\[ *[0-9]+\] / { gsub(/[][]/, " "); print base + $1 "=" $2; next }
        table { table = 0 }' <<<"$headers")
    if [ "$found" != "$expected" ] ||
        ! grep -qE '^Name[[:space:]]+[0-9a-f]+ Dravenix\.dll$' <<<"$headers"; then
        echo "lld-link $arch: exports differ from src/Dravenix.def:" >&2
        diff <(echo "$expected") <(echo "$found") >&2 || true
        failures=1
    else
        echo "Dravenix.dll ($arch, lld-link): $(echo "$found" | paste -sd' ')"
    fi
done
exit "$failures"
