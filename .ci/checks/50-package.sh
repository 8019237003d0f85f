#!/usr/bin/env bash
# Packaging: what a user installs or unpacks must work on its own.
#
# Installs into a scratch prefix, then builds and runs hosts against that
# prefix alone: the consumer project through find_package, the same host
# through pkg-config, and both example hosts. Builds a host project that
# takes Dravenix each of the three ways (installed package, add_subdirectory,
# FetchContent) and copies the module beside its host, and checks that a
# subproject brings nothing of Dravenix's tests and no -Werror. Builds the release archives,
# compares their contents with the expected lists, and runs hosts against
# the module each archive holds (the Windows ones under wine).
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends \
    cmake ninja-build g++ gcc binutils python3 pkg-config git

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

# The files of an installed tree or an unpacked archive, given where the
# platform puts the module.
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

# Packs an archive with CPack, lists it, compares the list with the expected
# one and unpacks it into the scratch folder.
#   pack_and_check <build-folder> <archive-name> <module-path>
pack_and_check() {
    local build=$1 archive=$2 module=$3
    local top=${archive%.tar.gz}
    top=${top%.zip}
    (cd "$build" && cpack >/dev/null)
    echo "$archive ($(wc -c <"$build/$archive") bytes):"
    cmake -E tar tf "$build/$archive" | grep -v '/$' | sort | tee "$scratch/$top.list" | sed 's/^/  /'
    diff -u <(expected_contents "$module" | sed "s|^|$top/|") "$scratch/$top.list"
    (cd "$scratch" && cmake -E tar xf "$root/$build/$archive")
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

echo "--- Linux release archive"
linux_top=Dravenix-$version-linux-x86_64
pack_and_check build/package-linux "$linux_top.tar.gz" lib/Dravenix.so
# An unpacked archive is a prefix of its own: find_package and the Python
# host work from it as from an installed tree.
run_consumer consumer-linux-archive "$scratch/$linux_top" -DCMAKE_PREFIX_PATH="$scratch/$linux_top"
(cd "$scratch/examples" &&
    report python3 "$root/examples/example_host.py" "$scratch/$linux_top/lib/Dravenix.so" archive_py.bin)

source .ci/wine.sh

# Windows: the archives of both pointer sizes, and the consumer project
# cross-built against each unpacked archive, its hosts run under wine.
for arch in x86 x64; do
    preset=windows-$arch
    echo "--- $preset release archive"
    install_windows_toolchains
    build_for_packaging "$preset" >/dev/null
    windows_top=Dravenix-$version-$preset
    pack_and_check "build/package-$preset" "$windows_top.zip" bin/Dravenix.dll
    # Stripping leaves the export and import tables as the test suite saw
    # them (its calling-convention check needs the symbols, so it runs on
    # the unstripped build only).
    objdump=$(sed -n 's/^CMAKE_OBJDUMP:[A-Z]*=//p' "build/package-$preset/CMakeCache.txt")
    cmake -DOBJDUMP="$objdump" -DMODULE="$scratch/$windows_top/bin/Dravenix.dll" \
        "-DEXPECTED=$export_names" -P tests/check_pe_module.cmake
    toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "build/package-$preset/CMakeCache.txt")
    # A cross build finds packages only below its system root, so the
    # package folder is named directly.
    consumer_arguments=(-DCMAKE_TOOLCHAIN_FILE="$toolchain"
        -DDravenix_DIR="$scratch/$windows_top/lib/cmake/Dravenix")
    # Where 32-bit wine cannot run, the consumer is still built, but its
    # hosts are not run.
    if [ "$arch" = x86 ] && ! runs_32bit_wine; then
        build_consumer "consumer-$preset" "$scratch/$windows_top" "${consumer_arguments[@]}"
        echo "WARNING: $preset consumer built but NOT RUN: this machine cannot run 32-bit wine" >&2
        continue
    fi
    run_consumer "consumer-$preset" "$scratch/$windows_top" "${consumer_arguments[@]}"
    if [ "$arch" = x64 ]; then
        echo "--- $preset host with the module beside it: installed package"
        cmake --install "build/package-$preset" --prefix "$scratch/prefix-$preset" >/dev/null
        consume package "way-package-$preset" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DDravenix_DIR="$scratch/prefix-$preset/lib/cmake/Dravenix"
    fi
done
