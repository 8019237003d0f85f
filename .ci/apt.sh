# Sourced by .ci/run and every check: package installs that survive a
# package mirror caught mid-sync.
#
# apt-get update exits 100 when one index of many fails to download (seen:
# the i386 security index while the mirror syncs). The other indexes are
# still fresh, so a failed update is retried and then taken as it stands;
# only an install that truly cannot find a package fails, and says which.

apt_update() {
    local try
    for try in 1 2 3; do
        apt-get update -q && return 0
        echo "WARNING: apt-get update failed (try $try of 3)" >&2
        sleep $((try * 5))
    done
    echo "WARNING: apt-get update still fails; going on with the package indexes it has" >&2
}

# Packages already installed cost no download, so the same call from every
# check is cheap.
#   apt_install <package...>
apt_install() {
    local try missing package
    for try in 1 2; do
        apt-get install -y -q --no-install-recommends "$@" >/dev/null && return 0
        echo "WARNING: apt-get install $* failed (try $try of 2); updating the indexes" >&2
        apt_update
    done
    missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        echo "ERROR: apt-get install $* failed, though each package is installed" >&2
    else
        echo "ERROR: these packages could not be installed: ${missing[*]}" >&2
    fi
    return 1
}
