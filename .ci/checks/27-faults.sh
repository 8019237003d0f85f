#!/usr/bin/env bash
# Failing disks: the fault runner (checkers/faults/fault_runner.cpp) makes seeded call
# sequences on the glibc and portable builds while the write, read, lseek
# and close system calls under the streams fail on chosen calls (EIO,
# ENOSPC, EINTR, short writes, runs of them). It prints the sequences run,
# the faults injected of each kind and the losses found; any loss, or any
# other breach of what a failure may do, fails the check.
#
# Reuses the builds of earlier checks where they exist. Runs from the
# repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
apt_install cmake ninja-build g++ gcc libgtest-dev >/dev/null

sequences=${DRAVENIX_FAULT_SEQUENCES:-2000}
seed=${DRAVENIX_FAULT_SEED:-5000}

failed=0
for preset in linux linux-portable; do
    echo "--- $preset: $sequences sequences, each once clean and 6 times faulted (seed $seed)"
    start=$(date +%s)
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2 --target dravenix_faults >/dev/null
    build/"$preset"/dravenix_faults --sequences "$sequences" --seed "$seed" --faults 6 ||
        failed=1
    # Longer runs of failures, from another seed: the pairs of failed lseeks
    # that leave a C library's buffer and its descriptor apart.
    build/"$preset"/dravenix_faults --sequences 1000 --seed 40000 --faults 8 || failed=1
    echo "$preset: $(($(date +%s) - start)) s"
done
exit "$failed"
