# Sourced by .ci/run and every check: package installs that survive a
# package mirror caught mid-sync.
#
# apt-get update exits 100 when one index of many fails to download (seen:
# the i386 security index while the mirror syncs). The other indexes are
# still fresh, so a failed update is retried and then taken as it stands;
# only an install that truly cannot find a package fails, and says which.
#
# The checks run one after another as separate scripts, so what one learnt
# of the mirror is kept for the rest of the run in build/.ci-state, which a
# fresh clone does not have: the indexes are updated once a run, and a
# package that could not be installed is not tried again by every check.
apt_state=${DRAVENIX_APT_STATE:-$PWD/build/.ci-state}

apt_update() {
    local try
    mkdir -p "$apt_state"
    for try in 1 2 3; do
        if apt-get update -q; then
            touch "$apt_state/updated"
            return 0
        fi
        echo "WARNING: apt-get update failed (try $try of 3)" >&2
        sleep $((try * 5))
    done
    touch "$apt_state/updated"
    echo "WARNING: apt-get update still fails; going on with the package indexes it has" >&2
}

# Installs the packages, updating the indexes first if no check of this run
# has. Packages already installed cost no download.
#   apt_install <package...>
apt_install() {
    local missing package
    [ -e "$apt_state/updated" ] || apt_update
    apt-get install -y -q --no-install-recommends "$@" >/dev/null && return 0
    echo "WARNING: apt-get install $* failed; updating the indexes and trying again" >&2
    apt_update
    apt-get install -y -q --no-install-recommends "$@" >/dev/null && return 0
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

# Like apt_install, for a package the run can do without: a failure is
# remembered, so that later checks skip it with the same warning instead of
# trying again.
#   apt_install_optional <package> <what goes without it>
apt_install_optional() {
    local package=$1 consequence=$2 stamp
    stamp="$apt_state/unavailable-${package//[^A-Za-z0-9.+-]/_}"
    if [ ! -e "$stamp" ]; then
        apt_install "$package" && return 0
        mkdir -p "$apt_state"
        touch "$stamp"
    fi
    echo "WARNING: $package could not be installed: $consequence" >&2
    return 1
}
