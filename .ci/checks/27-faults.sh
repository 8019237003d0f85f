#!/usr/bin/env bash
# Failing disks and shares: the fault runner (checkers/faults/fault_runner.cpp)
# makes seeded call sequences while the write, read, lseek, close and fstat
# system calls under the streams fail on chosen calls (EIO, ENOSPC, EINTR,
# EINVAL, ESPIPE, short writes, runs of failures, failures for good), on
# the glibc and portable builds and on the Windows DLLs under wine, whose
# processes dravenix_wine_tracer traces from outside. Each build also runs
# the table of cases. Every run is judged by what a failure may do: the
# host's position never moves, no byte lands where no call wrote, lost
# output is reported. The runner prints the sequences run, the faults
# injected of each kind and the violations; any violation fails the check.
#
# Reuses the builds and wine prefixes of earlier checks where they exist.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
source .ci/wine.sh
apt_install cmake ninja-build g++ gcc libgtest-dev >/dev/null
install_windows_toolchains

sequences=${DRAVENIX_FAULT_SEQUENCES:-2000}
calls=${DRAVENIX_FAULT_CALLS:-50}
faulted=${DRAVENIX_FAULT_RUNS:-3}
seed=${DRAVENIX_FAULT_SEED:-5000}

check_start=$(date +%s)
failed=0

# Builds a target of a build, configuring it first where no earlier check did.
#   build <preset> <target>...
build() {
    local preset=$1 log
    shift
    log=$(mktemp)
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2 --target "$@" >"$log" 2>&1 || {
        cat "$log"
        rm -f "$log"
        return 1
    }
    rm -f "$log"
}

# The runner of one build, its sequences and its table of cases.
#   run <preset> <program> [wrapper...]
run() {
    local preset=$1 program=$2 start
    shift 2
    echo "--- $preset: $sequences sequences of $calls calls, each once clean and $faulted" \
         "times faulted (seed $seed)"
    start=$(date +%s)
    "$@" "build/$preset/$program" --sequences "$sequences" --calls "$calls" \
        --faults "$faulted" --seed "$seed" || failed=1
    echo "--- $preset: the table of cases"
    "$@" "build/$preset/$program" --cases || failed=1
    echo "$preset: $(($(date +%s) - start)) s"
}

# The tracer comes with the Linux build; the Windows runs need it too.
build linux dravenix_faults dravenix_wine_tracer
run linux dravenix_faults
build linux-portable dravenix_faults
run linux-portable dravenix_faults

for preset in windows-x64 windows-x86; do
    case $preset in
    *x64) loader=/usr/lib/wine/wine64 wine_arch=win64 ;;
    *)
        loader=/usr/lib/wine/wine wine_arch=win32
        if ! runs_32bit_wine; then
            build "$preset" dravenix_faults  # the x86 build itself must still build
            echo "WARNING: $preset fault run NOT RUN: $(no_32bit_wine_reason)" >&2
            continue
        fi
        ;;
    esac
    build "$preset" dravenix_faults
    [ -d "build/$preset/wineprefix" ] ||
        cmake --build --preset "$preset" --target wine-prefix >/dev/null
    export WINEPREFIX="$PWD/build/$preset/wineprefix" WINEARCH="$wine_arch" WINEDEBUG=-all
    # The server starts untraced; the programs it serves are traced.
    /usr/lib/wine/wineserver -p || true  # (one already running will do)
    run "$preset" dravenix_faults.exe build/linux/dravenix_wine_tracer "$loader"
    /usr/lib/wine/wineserver -k || true
    unset WINEPREFIX WINEARCH WINEDEBUG
done

echo "fault check: $(($(date +%s) - check_start)) s"
exit "$failed"
