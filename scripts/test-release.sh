#!/usr/bin/env bash
# The project on the other Debian release: Debian 13 where this machine runs Debian 12, Debian 12
# where it runs Debian 13 (or the release CODENAME names).
#
#   test-release.sh [CODENAME]
#
# In a bare root of that release (scripts/bareroot.sh) it copies this tree as git sees it, runs
# scripts/setup.sh --light there as a new user would, the normal build with its whole CTest suite,
# and scripts/test-install.sh, which makes that release's packages, has lintian check them and
# installs them into a bare root of the same release. The root is made afresh and removed at the
# end; what a second run on this machine reuses is the bare root debootstrap made and the
# downloaded packages (/var/cache/bandcore), never a build. The CTest log is kept as
# build-release/CODENAME.log for the skip summary of scripts/test.sh. Needs root (sudo otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."

kCacheDir=/var/cache/bandcore

fail() {
    echo "test-release: $*" >&2
    exit 1
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
case "${1:-$release}" in
bookworm) codename=${1:-trixie} ;;
trixie) codename=${1:-bookworm} ;;
*) fail "no other release known for '${1:-$release}': name bookworm or trixie" ;;
esac
[ "$codename" != "$release" ] || fail "this machine runs $release already"

mkdir -p build-release
rm -f "build-release/$codename.log"
work=$(mktemp -d "$PWD/build-release/$codename.XXXXXX")
root=$work/root
trap 'scripts/bareroot.sh --remove "$work"' EXIT
# mount_in TARGET MOUNT-ARGUMENTS...: mounts under the root; bareroot.sh --remove unmounts it.
mount_in() {
    local target=$root$1
    shift
    $sudo mkdir -p "$target"
    $sudo mount "$@" "$target"
}
start=$SECONDS

scripts/bareroot.sh "$codename" "$root"
# The tree as it would be cloned, with what is not committed yet.
$sudo mkdir -p "$root/src/bandcore"
git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | $sudo tar -C "$root/src/bandcore" -xf -

mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs -o mode=1777 shm
mount_in /run -t tmpfs -o mode=755 run
mount_in /tmp -t tmpfs -o mode=1777 tmp
# The caches a later run reuses: the packages apt downloads, and the bare roots that the install
# check inside makes.
$sudo mkdir -p "$kCacheDir/apt/$codename" "$kCacheDir/roots"
mount_in /var/cache/apt/archives --bind "$kCacheDir/apt/$codename"
mount_in /var/cache/bandcore/roots --bind "$kCacheDir/roots"

# The steps in the root, each as a new user would run it: a login shell's environment, no display.
steps=$(
    cat <<'EOF'
set -eu
cd /src/bandcore
echo "test-release: $(. /etc/os-release && echo "$PRETTY_NAME"): scripts/setup.sh --light"
scripts/setup.sh --light >/tmp/setup.log 2>&1 || { tail -n 30 /tmp/setup.log; exit 1; }
echo "test-release: scripts/build.sh"
scripts/build.sh
status=0
ctest --test-dir build --output-on-failure -j"$(nproc)" -LE memcheck || status=$?
cp build/Testing/Temporary/LastTest.log /tmp/ctest.log 2>/dev/null || true
[ "$status" -eq 0 ] || exit "$status"
scripts/test-install.sh
EOF
)
status=0
$sudo chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive CI="${CI:-}" bash -c "$steps" || status=$?
$sudo cp "$root/tmp/ctest.log" "build-release/$codename.log" 2>/dev/null || true
((status == 0)) || fail "failed on $codename (status $status)"
echo "test-release: passed on $codename in $((SECONDS - start)) s"
