# Sourced by the CI checks that run Windows programs under wine.

# 32-bit wine needs a kernel that runs 32-bit x86 code itself. Some kernels
# run none (IA-32 emulation disabled); then wine's 32-bit loader does not
# start. A qemu-user binfmt handler for i386 programs starts the loader, but
# far too slowly for one wine process per test, so it does not count.
runs_32bit_wine() {
    local handler
    /usr/lib/wine/wine --version >/dev/null 2>&1 || return 1
    for handler in /proc/sys/fs/binfmt_misc/*; do
        if grep -qx enabled "$handler" 2>/dev/null &&
            grep -q '^magic 7f454c4601010100000000000000000002000300' "$handler"; then
            return 1
        fi
    done
}
