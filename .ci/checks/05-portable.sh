#!/usr/bin/env bash
# The portable stream layer, in standard C only, which the module uses on
# any C library it has no layer of its own for (macOS, the BSDs, musl):
# built on Linux against glibc and put through the whole test suite.
# Runs from the repository root, as root, on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
source .ci/apt.sh
apt_install cmake ninja-build g++ gcc libgtest-dev

cmake --preset linux-portable --fresh >/dev/null
cmake --build --preset linux-portable -j2
ctest --preset linux-portable
