#!/usr/bin/env bash
# The differential runner on every build: seeded random sequences of calls,
# each result and every file compared with the model (checkers/model/call_driver.h).
# Any divergence fails the run and prints a reproduction. Besides x86-64 and
# Windows it runs on s390x, aarch64 and armhf under qemu-user, and on i686. The portable
# stream layer runs on three C libraries: glibc (linux-portable), musl
# (linux-musl) and msvcrt.dll (windows-portable-x64, -x86).
#
# Runs after 05-portable.sh, 10-windows.sh and 20-cross.sh, whose builds and
# wine prefixes it reuses; a build that is missing is configured and built
# here. Runs from the
# repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
source .ci/wine.sh
source .ci/platforms.sh
apt_install \
    cmake ninja-build g++ gcc libgtest-dev qemu-user musl musl-dev musl-tools \
    g++-s390x-linux-gnu g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-i686-linux-gnu >/dev/null
install_windows_toolchains

# At least 2,000 sequences of 2,000 calls on every build; the seed differs
# from the suites' short run, so CI covers sequences they do not.
sequences=${DRAVENIX_DIFFERENTIAL_SEQUENCES:-2000}
calls=${DRAVENIX_DIFFERENTIAL_CALLS:-2000}
seed=${DRAVENIX_DIFFERENTIAL_SEED:-1000}

# Makes sure the build has the runner (and, under wine, a booted prefix).
#   prepare <preset> [no-prefix]
prepare() {
    local preset=$1 start
    start=$(date +%s)
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2 --target dravenix_differential >/dev/null
    echo "$preset: runner built in $(($(date +%s) - start)) s"
    case $preset${2:-} in
    windows-*no-prefix) ;;
    windows-*)
        [ -d "build/$preset/wineprefix" ] ||
            cmake --build --preset "$preset" --target wine-prefix >/dev/null
        ;;
    esac
}

# Runs the runner of one build and prints its count of sequences and calls.
#   run <preset> <program> [emulator...]
run() {
    local preset=$1 program=$2 start
    shift 2
    echo "--- $preset: $sequences sequences of $calls calls (seed $seed)"
    start=$(date +%s)
    "$@" "build/$preset/$program" --sequences "$sequences" --calls "$calls" --seed "$seed"
    echo "$preset: $(($(date +%s) - start)) s"
}

# armhf, the longest run (qemu-arm), goes on beside all the others: each run
# takes one core of the two. Its output follows theirs.
prepare linux-armhf
armhf_log=$(mktemp)
# In a process group of its own (set -m), so that a failure below, which
# ends the check, ends the whole run with it.
set -m
run linux-armhf dravenix_differential qemu-arm -L /usr/arm-linux-gnueabihf >"$armhf_log" 2>&1 &
armhf_run=$!
set +m
trap 'kill -- -"$armhf_run" 2>/dev/null || true; rm -f "$armhf_log"' EXIT

for preset in linux linux-portable linux-musl; do
    prepare "$preset"
    run "$preset" dravenix_differential
done

for preset in windows-x64 windows-portable-x64 windows-x86 windows-portable-x86; do
    case $preset in
    *x64) loader=/usr/lib/wine/wine64 wine_arch=win64 ;;
    *)
        loader=/usr/lib/wine/wine wine_arch=win32
        if ! runs_32bit_wine; then
            # The x86 build itself must still build.
            prepare "$preset" no-prefix
            echo "WARNING: $preset differential run NOT RUN: $(no_32bit_wine_reason)" >&2
            continue
        fi
        ;;
    esac
    prepare "$preset"
    run "$preset" dravenix_differential.exe env WINEPREFIX="$PWD/build/$preset/wineprefix" \
        WINEARCH="$wine_arch" WINEDEBUG=-all "$loader"
done

for arch in s390x aarch64; do
    prepare "linux-$arch"
    run "linux-$arch" dravenix_differential "qemu-$arch" -L "/usr/$arch-linux-gnu"
done
# i686: the build of 22-platforms.sh, run through the sysroot's loader. Its
# FileReadDouble returns a signalling NaN quiet (the x87 return register),
# the one difference the model allows there.
prepare linux-i686
if runs_32bit_linux; then
    run linux-i686 dravenix_differential "${i686_loader[@]}"
else
    echo "WARNING: linux-i686 differential run NOT RUN: this machine cannot execute 32-bit code" >&2
fi

armhf_status=0
wait "$armhf_run" || armhf_status=$?
cat "$armhf_log"
echo "differential check: $SECONDS s"
exit "$armhf_status"
