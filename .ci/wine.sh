# Sourced by the CI checks that build Windows programs and run them under
# wine, after .ci/apt.sh.

# The mingw-w64 cross compilers, and wine for 32-bit and 64-bit programs.
# 32-bit wine comes from the i386 architecture; wine32 goes in before any
# prefix is made, as a 64-bit prefix needs it to run 32-bit programs.
install_windows_toolchains() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        apt_update
    fi
    apt_install \
        g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
        binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 >/dev/null
    # wine32:i386 can clash with amd64 libraries newer than the i386 ones
    # while the mirror syncs. 64-bit wine does without it, and the x86
    # checks then skip with a warning, as where 32-bit code cannot run.
    apt_install_optional wine32:i386 "the x86 checks under wine skip" || true
    apt_install wine wine64
}

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

# Why runs_32bit_wine said no, for the warning of a check that skips.
no_32bit_wine_reason() {
    if [ ! -x /usr/lib/wine/wine ]; then
        echo "32-bit wine (wine32:i386) is not installed"
    elif grep -qsx enabled /proc/sys/fs/binfmt_misc/dravenix-i386; then
        echo "32-bit programs start only under qemu-i386"
    else
        echo "this machine cannot execute 32-bit code ($(/usr/lib/wine/wine --version 2>&1 | tail -n 1))"
    fi
}
