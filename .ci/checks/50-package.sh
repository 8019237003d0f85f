#!/usr/bin/env bash
# Packaging: what a user installs or unpacks must work on its own.
#
# Installs into a scratch prefix, then builds and runs hosts against that
# prefix alone: the consumer project through find_package, the same host
# through pkg-config, and both example hosts. Builds a host project that
# takes Dravenix each of the three ways (installed package, add_subdirectory,
# FetchContent) and copies the module beside its host, and checks that a
# subproject brings nothing of Dravenix's tests and no -Werror.
#
# Release archives: builds each one twice with its release workflow, once
# here and once in a clone of the same source at another depth, seen through
# disorderfs (another listing order), as another user, under another time
# zone and umask and a clock 400 days ahead, and compares the two archives
# and the two build folders' modules byte for byte, printing the checksums.
# Then compares each archive's contents with the expected list, and builds
# and runs hosts against the module each unpacked archive holds (the Windows
# ones under wine, the Linux Arm ones under qemu-user): the consumer project,
# and on Windows hosts linked at build time through the archive's import
# libraries. The macOS archive's module is read with LLVM's tools, and the
# consumer project only built against it.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
apt_install \
    cmake ninja-build g++ gcc binutils python3 pkg-config git \
    llvm-14 clang-14 lld-14 disorderfs faketime qemu-user \
    g++-aarch64-linux-gnu binutils-aarch64-linux-gnu \
    g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The export names, from the module's one export list.
export_names=$(sed -n 's/^[[:space:]]\{1,\}\(File[A-Za-z0-9]*\)[[:space:]]\{1,\}@[0-9].*/\1/p' \
    src/Dravenix.def | paste -sd';' -)

# Runs a command quietly: its "N passed, N failed" lines when it succeeds,
# all its output when it fails.
#   report <command...>
report() {
    if "$@" >"$scratch/output" 2>&1; then
        grep ' passed, ' "$scratch/output"
    else
        cat "$scratch/output"
        return 1
    fi
}

# Builds the consumer project against a package folder: the round-trip
# host, and the shipped C example host compiled from the package's own copy.
#   build_consumer <name> <package-folder> <cmake-arguments...>
build_consumer() {
    local name=$1 package=$2
    shift 2
    cmake -S tests/package -B "$scratch/$name" -G Ninja "$@" \
        -DDRAVENIX_EXPECTED_VERSION="$version" \
        -DDRAVENIX_EXAMPLE_SOURCE="$package/share/doc/Dravenix/examples/example_host.c" >/dev/null
    cmake --build "$scratch/$name" >/dev/null
}

# Builds the consumer project and runs its tests: the round trip, and the
# example host's output and file compared with what they must be.
#   run_consumer <name> <package-folder> <cmake-arguments...>
run_consumer() {
    build_consumer "$@"
    report ctest --test-dir "$scratch/$1" --output-on-failure -V
}

# Builds the host project of tests/consumer with Dravenix taken one way, and
# runs its tests: the host loads the module its build copied beside it.
#   consume <way> <name> <cmake-arguments...>
consume() {
    local way=$1 build=$scratch/$2
    shift 2
    # The build's target list, from CMake's file API.
    mkdir -p "$build/.cmake/api/v1/query"
    touch "$build/.cmake/api/v1/query/codemodel-v2"
    cmake -S tests/consumer -B "$build" -G Ninja -DDRAVENIX_CONSUME="$way" "$@" >/dev/null
    cmake --build "$build" >/dev/null
    report ctest --test-dir "$build" --output-on-failure -V
}

# A build that takes Dravenix as its subproject gets the module and nothing
# else of it: no test, example, benchmark, fuzzer or GoogleTest target, no
# search for GoogleTest or Google Benchmark, and no -Werror, while the
# module keeps its warnings.
#   check_subproject <name>
check_subproject() {
    local build=$scratch/$1 targets
    targets=$(python3 - "$build/.cmake/api/v1/reply" <<'PYTHON'
import glob, json, os, sys
reply = sys.argv[1]
index = json.load(open(sorted(glob.glob(os.path.join(reply, "index-*.json")))[-1]))
model = json.load(open(os.path.join(reply, index["reply"]["codemodel-v2"]["jsonFile"])))
print(" ".join(sorted(t["name"] for c in model["configurations"] for t in c["targets"])))
PYTHON
    )
    echo "$1 targets: $targets"
    if grep -Eiq 'test|example|gtest|gmock|bench|fuzz|wine|check' <<<"$targets"; then
        echo "$1: the subproject brought targets of its own tests or tools"
        return 1
    fi
    if grep -Eq '^(GTest|GTEST|benchmark)' "$build/CMakeCache.txt"; then
        echo "$1: the subproject looked for GoogleTest or Google Benchmark:"
        grep -E '^(GTest|GTEST|benchmark)' "$build/CMakeCache.txt"
        return 1
    fi
    grep -q -- '-Wextra' "$build/build.ninja" || { echo "$1: no warning flags on the module"; return 1; }
    if grep -q -- '-Werror' "$build/build.ninja" "$build/CMakeFiles/rules.ninja"; then
        echo "$1: the subproject turns warnings into errors"
        return 1
    fi
}

# Builds the module and the C example host for a configure preset, in a
# folder of this check's own, without the test suite.
#   build_for_packaging <preset>
build_for_packaging() {
    cmake --preset "$1" -B "build/package-$1" \
        -DDRAVENIX_BUILD_TESTS=OFF -DDRAVENIX_BUILD_BENCH=OFF >/dev/null
    cmake --build "build/package-$1" -j2
}

# The files of an installed tree, given where the platform puts the module.
#   expected_contents <module-path>
expected_contents() {
    printf '%s\n' "$1" \
        include/Dravenix.h \
        lib/cmake/Dravenix/DravenixConfig.cmake \
        lib/cmake/Dravenix/DravenixConfigVersion.cmake \
        lib/pkgconfig/dravenix.pc \
        share/doc/Dravenix/CHANGELOG.md \
        share/doc/Dravenix/LICENSE \
        share/doc/Dravenix/README.md \
        share/doc/Dravenix/examples/example_host.c \
        share/doc/Dravenix/examples/example_host.py | sort
}

# The files of a release archive: the installed tree, with the export list
# and both import libraries on Windows, and the archive's own README and
# LICENSE at its top.
#   expected_archive_contents <platform> <module-path>
expected_archive_contents() {
    {
        expected_contents "$2"
        printf '%s\n' README.txt LICENSE
        case $1 in
        windows-*) printf '%s\n' lib/Dravenix.def lib/libDravenix.dll.a lib/Dravenix.lib ;;
        esac
    } | sort
}

echo "--- version and changelog"
build_for_packaging linux
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package-linux/CMakeCache.txt)
grep -q "^## $version\$" CHANGELOG.md || { echo "CHANGELOG.md has no entry for $version"; exit 1; }
echo "version $version, in CHANGELOG.md"

echo "--- install into a scratch prefix"
prefix=$scratch/prefix
cmake --install build/package-linux --prefix "$prefix" --strip >/dev/null
diff -u <(expected_contents lib/Dravenix.so) <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
cmake -DMODULE="$prefix/lib/Dravenix.so" "-DEXPECTED=$export_names" -DNM=nm -DREADELF=readelf \
    -P tests/check_exports.cmake

echo "--- consumer project, through find_package"
run_consumer consumer "$prefix" -DCMAKE_PREFIX_PATH="$prefix"

echo "--- host with the module beside it: installed package"
consume package way-package -DCMAKE_PREFIX_PATH="$prefix"
echo "--- host with the module beside it: add_subdirectory"
consume subdirectory way-subdirectory -DDRAVENIX_SOURCE="$root"
check_subproject way-subdirectory
echo "--- host with the module beside it: FetchContent of this clone's HEAD"
head=$(git rev-parse HEAD)
git diff --quiet HEAD || echo "NOTE: FetchContent takes commit $head, not the uncommitted changes"
consume fetchcontent way-fetchcontent -DDRAVENIX_GIT_URL="file://$root" -DDRAVENIX_GIT_TAG="$head"
check_subproject way-fetchcontent

echo "--- the same host, through pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
test "$(pkg-config --modversion dravenix)" = "$version"
pc_module=$(pkg-config --variable=module dravenix)
test -f "$pc_module"
# shellcheck disable=SC2046 # the flags are words by design
cc -Wall -Wextra -Werror $(pkg-config --cflags dravenix) "-DDRAVENIX_MODULE=\"$pc_module\"" \
    tests/package/package_host.c -o "$scratch/pc_host" $(pkg-config --libs dravenix)
(cd "$scratch" && report ./pc_host pc_round_trip.bin)
unset PKG_CONFIG_PATH

echo "--- Python example host against the installed module"
mkdir "$scratch/examples"
(cd "$scratch/examples" &&
    report python3 "$root/examples/example_host.py" "$prefix/lib/Dravenix.so" example_py.bin)

source .ci/wine.sh
install_windows_toolchains

echo "--- release archives: the second source tree"
# A clone of this tree's commit at another depth, with this tree's
# uncommitted changes copied in, so that both trees hold the same source.
# It is owned by the second builder and built through disorderfs, which
# lists every folder in reverse order.
second=$(mktemp -d)
chmod 755 "$second"
trap 'fusermount -u "$second/view" 2>/dev/null || true; rm -rf "$scratch" "$second"' EXIT
second_source=$second/one/two/three/four/Dravenix
git clone --quiet --no-hardlinks --no-checkout "$root" "$second_source"
# This tree's HEAD, which need not be on a branch.
git -C "$second_source" fetch --quiet "$root" HEAD
git -C "$second_source" checkout --quiet --detach FETCH_HEAD
test "$(git -C "$second_source" rev-parse HEAD)" = "$head"
if ! git diff --quiet HEAD; then
    echo "NOTE: both trees build this tree's uncommitted changes (archives named -dirty)"
    git diff HEAD --binary | git -C "$second_source" apply
fi
git ls-files -z --others --exclude-standard | tar --null -T - -cf - | tar -C "$second_source" -xf -
mkdir "$second/home" "$second/view"
second_tree=$second_source
second_user=nobody
if ! chown -R nobody:nogroup "$second" ||
    ! setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null; then
    echo "WARNING: the second build runs as $(id -un) too: no user nobody to run it" >&2
    second_user=$(id -un)
fi
if disorderfs --reverse-dirents=yes --multi-user=yes "$second_source" "$second/view" >/dev/null 2>&1; then
    second_tree=$second/view
else
    echo "WARNING: no disorderfs mount (FUSE): the second build sees the usual listing order" >&2
fi
second_clock=(faketime -f +400d)
"${second_clock[@]}" true 2>/dev/null || {
    echo "WARNING: faketime does not run: the second build keeps the real clock" >&2
    second_clock=()
}
# The first build: this tree, UTC, umask 022, now. The second: another
# user, a zone 12:45 ahead of UTC, umask 077, 400 days from now.
#   first_build <command...>, second_build <command...>
first_build() {
    (umask 022 && TZ=UTC0 "$@")
}
second_build() {
    if [ "$second_user" = nobody ]; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
            env HOME="$second/home" TZ=CHAST-12:45 DRAVENIX_MACOS_TOOLS="${DRAVENIX_MACOS_TOOLS:-}" \
            "${second_clock[@]}" \
            sh -c 'umask 077 && cd "$0" && exec "$@"' "$second_tree" "$@"
    else
        (cd "$second_tree" && umask 077 &&
            HOME="$second/home" USER=dravenix-second LOGNAME=dravenix-second \
            TZ=CHAST-12:45 "${second_clock[@]}" "$@")
    fi
}
echo "first build: $root, $(id -un), TZ=UTC0, umask 022"
echo "second build: $second_tree, $second_user, TZ=CHAST-12:45, umask 077, clock ${second_clock[*]:-unchanged}"

# The archives' names: the version, the first 7 digits of the commit (and
# -dirty for uncommitted changes to tracked files), the platform.
tag=g$(git rev-parse HEAD | cut -c1-7)
[ -z "$(git status --porcelain --untracked-files=no)" ] || tag=$tag-dirty

# Builds a release archive with its workflow in both trees, and compares the
# archives and the build folders' modules byte for byte. Prints the
# checksums; on a difference, what differs.
#   release_twice <platform> <archive-name> <module-file>
release_twice() {
    local platform=$1 archive=$2 module=$3 file different=0 start=$SECONDS
    if ! first_build cmake --workflow --preset "release-$platform" --fresh >"$scratch/first.log" 2>&1; then
        cat "$scratch/first.log"
        return 1
    fi
    if ! second_build cmake --workflow --preset "release-$platform" --fresh >"$scratch/second.log" 2>&1; then
        cat "$scratch/second.log"
        return 1
    fi
    echo "release-$platform built twice in $((SECONDS - start)) s:"
    for file in "release/$archive" "release-$platform/$module"; do
        sha256sum "build/$file" "$second_tree/build/$file" | sed 's/^/  /'
        if ! cmp -s "build/$file" "$second_tree/build/$file"; then
            echo "$file: the two builds differ"
            different=1
        fi
    done
    if [ "$different" = 1 ]; then
        diff <(cmake -E tar tvf "build/release/$archive") \
             <(cmake -E tar tvf "$second_tree/build/release/$archive") || true
        return 1
    fi
    grep -F "  $archive" build/release/SHA256SUMS >/dev/null ||
        { echo "build/release/SHA256SUMS does not list $archive"; return 1; }
    (cd build/release && sha256sum --check --ignore-missing --quiet SHA256SUMS)
}

# Lists an archive, compares the list with the expected one, checks that
# its members come in sorted order, and unpacks it into the scratch folder.
#   check_archive <platform> <archive-name> <module-path>
check_archive() {
    local platform=$1 archive=$2 module=$3
    local top=${archive%.tar.gz}
    top=${top%.zip}
    echo "$archive ($(wc -c <"build/release/$archive") bytes):"
    cmake -E tar tf "build/release/$archive" | sed 's|/$||' >"$scratch/$top.order"
    python3 -c 'import sys; names = [line.rstrip("\n").split("/") for line in open(sys.argv[1])]
sys.exit(names != sorted(names))' "$scratch/$top.order" ||
        { echo "$archive: members not in sorted order"; return 1; }
    cmake -E tar tf "build/release/$archive" | grep -v '/$' | sort | tee "$scratch/$top.list" | sed 's/^/  /'
    diff -u <(expected_archive_contents "$platform" "$module" | sed "s|^|$top/|") "$scratch/$top.list"
    (cd "$scratch" && cmake -E tar xf "$root/build/release/$archive")
    grep -q "^Built from commit $(git rev-parse HEAD)" "$scratch/$top/README.txt" ||
        { echo "$top/README.txt does not name commit $(git rev-parse HEAD)"; return 1; }
}

echo "--- Linux release archive"
linux_top=Dravenix-$version-$tag-linux-x86_64
release_twice linux "$linux_top.tar.gz" Dravenix.so
check_archive linux "$linux_top.tar.gz" lib/Dravenix.so
cmake -DMODULE="$scratch/$linux_top/lib/Dravenix.so" "-DEXPECTED=$export_names" -DNM=nm \
    -DREADELF=readelf -P tests/check_exports.cmake
# The Linux module is hardened: full RELRO (read-only after immediate
# binding).
readelf -d "$scratch/$linux_top/lib/Dravenix.so" | grep 'FLAGS.*BIND_NOW' >/dev/null &&
    readelf -lW "$scratch/$linux_top/lib/Dravenix.so" | grep GNU_RELRO >/dev/null ||
    { echo "the Linux module is not linked with -z relro -z now"; exit 1; }
# An unpacked archive is a prefix of its own: find_package and the Python
# host work from it as from an installed tree.
run_consumer consumer-linux-archive "$scratch/$linux_top" -DCMAKE_PREFIX_PATH="$scratch/$linux_top"
(cd "$scratch/examples" &&
    report python3 "$root/examples/example_host.py" "$scratch/$linux_top/lib/Dravenix.so" archive_py.bin)

# Windows: the archives of both pointer sizes; the consumer project
# cross-built against each unpacked archive, and hosts linked through its
# import libraries, run under wine.
for arch in x86 x64; do
    platform=windows-$arch
    echo "--- $platform release archive"
    windows_top=Dravenix-$version-$tag-$platform
    package=$scratch/$windows_top
    release_twice "$platform" "$windows_top.zip" Dravenix.dll
    check_archive "$platform" "$windows_top.zip" bin/Dravenix.dll
    # Stripping leaves the export and import tables as the test suite saw
    # them (its calling-convention check needs the symbols, so it runs on
    # the unstripped build only).
    cache=build/release-$platform/CMakeCache.txt
    objdump=$(sed -n 's/^CMAKE_OBJDUMP:[A-Z]*=//p' "$cache")
    cmake -DOBJDUMP="$objdump" -DMODULE="$package/bin/Dravenix.dll" \
        "-DEXPECTED=$export_names" -P tests/check_pe_module.cmake
    toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$cache")
    # The toolchain's C compiler, as the toolchain file names it.
    compiler=${objdump%-objdump}-gcc-posix

    # Hosts that link the DLL at build time: with MinGW gcc through each
    # import library, and with clang for the MSVC target and lld-link (the
    # MSVC-compatible linker) through Dravenix.lib, with no C runtime.
    linked=$scratch/linked-$platform
    mkdir "$linked"
    cp "$package/bin/Dravenix.dll" "$linked/"
    "$compiler" -Wall -Wextra -Werror -I"$package/include" tests/package/linked_host.c \
        -L"$package/lib" -lDravenix -o "$linked/linked_mingw.exe"
    "$compiler" -Wall -Wextra -Werror -I"$package/include" tests/package/linked_host.c \
        "$package/lib/Dravenix.lib" -o "$linked/linked_msvc_lib.exe"
    if [ "$arch" = x64 ]; then
        msvc_target=x86_64-pc-windows-msvc machine=i386:x86-64 kill_at=()
    else
        msvc_target=i686-pc-windows-msvc machine=i386 kill_at=(-k)
    fi
    printf 'LIBRARY kernel32.dll\nEXPORTS\n    ExitProcess%s\n' "$([ "$arch" = x86 ] && echo @4)" \
        >"$linked/kernel32.def"
    llvm-dlltool-14 "${kill_at[@]}" -m "$machine" -d "$linked/kernel32.def" -l "$linked/kernel32.lib"
    clang-14 --target="$msvc_target" -O1 -msse2 -ffreestanding -fno-stack-protector \
        -Wall -Wextra -Werror -DDRAVENIX_NO_CRT -I"$package/include" \
        -c tests/package/linked_host.c -o "$linked/linked_host.obj"
    lld-link-14 /nologo /subsystem:console /entry:mainCRTStartup /nodefaultlib \
        $([ "$arch" = x86 ] && echo /safeseh:no) "$linked/linked_host.obj" \
        "$package/lib/Dravenix.lib" "$linked/kernel32.lib" /out:"$linked/linked_lld_link.exe"
    for host in linked_mingw linked_msvc_lib linked_lld_link; do
        "$objdump" -p "$linked/$host.exe" | grep 'DLL Name: Dravenix.dll' >/dev/null ||
            { echo "$host.exe does not import Dravenix.dll"; exit 1; }
    done

    # A cross build finds packages only below its system root, so the
    # package folder is named directly.
    consumer_arguments=(-DCMAKE_TOOLCHAIN_FILE="$toolchain"
        -DDravenix_DIR="$package/lib/cmake/Dravenix")
    # Where 32-bit wine cannot run, the consumer and the linked hosts are
    # still built, but not run.
    if [ "$arch" = x86 ] && ! runs_32bit_wine; then
        build_consumer "consumer-$platform" "$package" "${consumer_arguments[@]}"
        echo "WARNING: $platform consumer and linked hosts built but NOT RUN: $(no_32bit_wine_reason)" >&2
        continue
    fi
    run_consumer "consumer-$platform" "$package" "${consumer_arguments[@]}"
    if [ "$arch" = x64 ]; then
        wine_arch=win64 wine_loader=/usr/lib/wine/wine64
    else
        wine_arch=win32 wine_loader=/usr/lib/wine/wine
    fi
    for host in linked_mingw linked_msvc_lib linked_lld_link; do
        status=0
        output=$(cd "$linked" && WINEPREFIX="$linked/wineprefix" WINEARCH=$wine_arch \
            WINEDEBUG=-all "$wine_loader" "$host.exe" 2>"$linked/$host.stderr") || status=$?
        if [ "$status" -ne 0 ]; then
            echo "$output"
            cat "$linked/$host.stderr"
            # Without a C runtime the exit code says which calls failed.
            echo "$host.exe failed: exit code $status"
            exit 1
        fi
        if [ "$host" = linked_lld_link ]; then
            output="exit code 0: every call gave what it should"
        fi
        echo "$host.exe: $(tr -d '\r' <<<"$output")"
    done
    if [ "$arch" = x64 ]; then
        echo "--- $platform host with the module beside it: installed package"
        cmake --install "build/release-$platform" --prefix "$scratch/prefix-$platform" >/dev/null
        consume package "way-package-$platform" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DDravenix_DIR="$scratch/prefix-$platform/lib/cmake/Dravenix"
    fi
done
# Linux on Arm and macOS, cross-built. The consumer project is cross-built
# against each unpacked archive, and run under qemu-user for Arm; nothing
# runs macOS code here, so its module is read with LLVM's tools instead.
source .ci/platforms.sh
install_macos_tools
for platform in linux-aarch64 linux-armhf macos; do
    echo "--- $platform release archive"
    start=$SECONDS
    if [ "$platform" = macos ]; then
        top=Dravenix-$version-$tag-macos-universal module=Dravenix.dylib
    else
        top=Dravenix-$version-$tag-$platform module=Dravenix.so
    fi
    package=$scratch/$top
    release_twice "$platform" "$top.tar.gz" "$module"
    check_archive "$platform" "$top.tar.gz" "lib/$module"
    cache=build/release-$platform/CMakeCache.txt
    toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$cache")
    consumer_arguments=(-DCMAKE_TOOLCHAIN_FILE="$toolchain"
        -DDravenix_DIR="$package/lib/cmake/Dravenix")
    if [ "$platform" = macos ]; then
        cmake -DMODULE="$package/lib/$module" "-DEXPECTED=$export_names" \
            "-DARCHITECTURES=arm64;x86_64" -DLLVM_NM=llvm-nm-14 -DLLVM_OBJDUMP=llvm-objdump-14 \
            -DLLVM_LIPO=llvm-lipo-14 -P tests/check_macho_module.cmake
        python3 tests/check_code_signature.py "$package/lib/$module"
        build_consumer "consumer-$platform" "$package" "${consumer_arguments[@]}"
        echo "consumer project built against the macOS archive (not run: no Mac)"
    else
        nm=$(sed -n 's/^CMAKE_NM:[A-Z]*=//p' "$cache")
        cmake -DMODULE="$package/lib/$module" "-DEXPECTED=$export_names" -DNM="$nm" \
            -DREADELF="${nm%-nm}-readelf" -P tests/check_exports.cmake
        run_consumer "consumer-$platform" "$package" "${consumer_arguments[@]}"
    fi
    echo "$platform release archive: $((SECONDS - start)) s"
done
fusermount -u "$second/view" 2>/dev/null || true
echo "--- release archives, two builds of each identical:"
sed 's/^/  /' build/release/SHA256SUMS
echo "package check: $SECONDS s"
