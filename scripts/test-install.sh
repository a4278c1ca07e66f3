#!/usr/bin/env bash
# The packages as a user gets them: builds them (scripts/package.sh) and has lintian check them (no
# errors; the warnings are printed), then installs all four with apt, without recommended
# packages, into a bare root of this machine's Debian release (scripts/bareroot.sh), so that a
# dependency the packages fail to name fails here. In the root, with no build tree and no display,
# it runs bandview --help, bandview on a generated tone with CSV and picture, and visualiser
# --render to a video, whose streams ffprobe checks from outside; outside the root, both examples
# build against the core's two packages unpacked; it checks the manual pages, the desktop entry's
# command, the icon, the AppStream metadata and the completion scripts that the packages hold, and
# that the visualiser recommends Qt's Wayland plugin. Last, apt purges the packages, and nothing
# they installed may be left.
# Needs root for debootstrap and chroot (sudo otherwise); the root is made afresh on every run
# and removed at the end, and apt takes what it can from this machine's package cache.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "test-install: $*" >&2
    exit 1
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
packages=(libbandcore1 libbandcore-dev bandview visualiser)
archives=/var/cache/apt/archives

scripts/package.sh
for package in "${packages[@]}"; do
    compgen -G "dist/${package}_*.deb" >/dev/null || fail "scripts/package.sh made no $package"
done

echo "test-install: lintian"
lintian_log=$(lintian --no-cfg dist/*.deb 2>&1 | grep -v '^running with root privileges' || true)
[ -z "$lintian_log" ] || awk '{ print "  " $0 }' <<<"$lintian_log"
! grep -q '^E:' <<<"$lintian_log" || fail "lintian reports errors"

release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$release" ] || fail "/etc/os-release names no release"
mkdir -p build-package
work=$(mktemp -d "$PWD/build-package/install.XXXXXX")
root=$work/root
trap 'scripts/bareroot.sh --remove "$work"' EXIT
start=$SECONDS

echo "test-install: a bare $release root"
scripts/bareroot.sh "$release" "$root"
# apt in the root starts from the packages this machine already holds (hard links, where the file
# system allows).
$sudo cp -ln "$archives"/*.deb "$root$archives/" 2>/dev/null || true
$sudo mkdir "$root/tmp/debs" "$root/tmp/check"
$sudo cp dist/*.deb "$root/tmp/debs/"
$sudo mount -t proc proc "$root/proc"
$sudo mount --bind /dev "$root/dev"

# A command in the root, in a clean environment: no display, no session, no build tree.
in_root() {
    $sudo chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

echo "test-install: apt-get install --no-install-recommends ${packages[*]}"
if ! in_root sh -c 'apt-get update -qq && cd /tmp/debs &&
    apt-get install -y -q --no-install-recommends ./*.deb' >"$work/install.log" 2>&1; then
    tail -n 30 "$work/install.log" >&2
    fail "apt-get install failed"
fi
echo "  $(grep -m1 'newly installed' "$work/install.log")"

echo "test-install: the programs"
in_root bandview --help >"$work/help.txt" || fail "bandview --help failed"
grep -q '^Usage: bandview' "$work/help.txt" || fail "bandview --help printed no usage"
# Two seconds of a 1 kHz tone: over 100 analysis frames at 60 a second.
$sudo sox -n -r 48000 -c 2 "$root/tmp/check/tone.wav" synth 2 sine 1000 vol 0.5
in_root bandview /tmp/check/tone.wav --no-live --csv /tmp/check/tone.csv \
    --png /tmp/check/tone.png || fail "bandview on a WAV file failed"
rows=$(($(wc -l <"$root/tmp/check/tone.csv") - 1))
head -n 1 "$root/tmp/check/tone.csv" | grep -q '^seq,timeSec,' || fail "the CSV has no header row"
((rows >= 100)) || fail "the CSV of a 2 s tone has $rows rows, expected over 100"
[[ $(head -c 8 "$root/tmp/check/tone.png" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] ||
    fail "bandview's picture is not a PNG file"
echo "  bandview: $rows CSV rows and a PNG picture of a 2 s tone"
in_root visualiser --render /tmp/check/tone.mp4 --size 320x180 /tmp/check/tone.wav ||
    fail "visualiser --render failed"
streams=$(ffprobe -v error -show_entries stream=codec_type,width,height:format=duration \
    -of csv=p=0 "$root/tmp/check/tone.mp4") || fail "ffprobe cannot read the rendered video"
grep -qx 'video,320,180' <<<"$streams" || fail "the video has no 320x180 stream: $streams"
grep -qx 'audio' <<<"$streams" || fail "the video has no audio stream: $streams"
duration=$(tail -n 1 <<<"$streams")
[[ $duration =~ ^(1\.9|2\.0) ]] || fail "the video lasts $duration s, expected 2"
echo "  visualiser: a $duration s video at 320x180 with its audio"

# The core's packages as a program that embeds it takes them: unpacked on their own (no compiler
# in the root), the C example through pkg-config and the C++ example through find_package, each
# from the unpacked files alone.
dev=$work/dev
for package in libbandcore1 libbandcore-dev; do
    dpkg-deb -x dist/"$package"_*.deb "$dev"
done
pc=$(find "$dev" -name bandcore.pc)
[ -n "$pc" ] || fail "libbandcore-dev holds no bandcore.pc"
libdir=${pc%/pkgconfig/bandcore.pc}
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046 # the flags are words
gcc -std=c99 -Wall -Werror examples/c/main.c $(pkg-config --cflags --libs bandcore) -o "$dev/c" ||
    fail "the C example does not build against the packages' bandcore.pc"
unset PKG_CONFIG_PATH
cmake -S examples/cpp -B "$dev/cpp" -DCMAKE_PREFIX_PATH="$dev/usr" >"$work/cpp.log" 2>&1 &&
    cmake --build "$dev/cpp" >>"$work/cpp.log" 2>&1 ||
    { tail -n 20 "$work/cpp.log" >&2; fail "the C++ example does not build against the packages"; }
grep -q "^bandcore_DIR:PATH=$dev/" "$dev/cpp/CMakeCache.txt" ||
    fail "the C++ example found a bandcore outside the packages"
# One second of a 1 kHz sine at half full scale, as raw native floats.
band=$(perl -e 'print pack("f*", map { 0.5 * sin(6.283185307179586 * 1000 * $_ / 48000) } 0 .. 47999)' |
    LD_LIBRARY_PATH=$libdir "$dev/c" 48000 | tail -n 1) || fail "the C example failed"
[[ $band =~ \((1[01][0-9][0-9]|9[0-9][0-9])\ Hz\)$ ]] ||
    fail "the C example on a 1 kHz sine printed '$band'"
echo "  libbandcore-dev: both examples build from the packages; $band"

# The files of each package, as dpkg lists them, for the checks below and for the purge.
for package in "${packages[@]}"; do
    in_root dpkg-query -L "$package" | awk 'NF && $0 != "/."' >"$work/$package.files"
done
# Nothing installed may lead back to the tree that built it (a run path, a source path).
named=$(while read -r file; do
    [ ! -f "$root$file" ] || [ -L "$root$file" ] || grep -lF "$PWD" "$root$file" || true
done < <(cat "$work/"*.files))
[ -z "$named" ] || fail "installed files name $PWD: ${named//$root/}"

echo "test-install: manual pages, desktop entry, icon, metadata, completions"
# package, installed path: the package must hold it.
expect() {
    grep -qx "$2" "$work/$1.files" || fail "$1 lacks $2"
    echo "  $1: $2"
}
for program in bandview visualiser; do
    expect "$program" "/usr/share/man/man1/$program.1.gz"
    expect "$program" "/usr/share/bash-completion/completions/$program"
done
expect visualiser /usr/share/applications/org.bandcore.Visualiser.desktop
expect visualiser /usr/share/icons/hicolor/scalable/apps/org.bandcore.Visualiser.svg
expect visualiser /usr/share/metainfo/org.bandcore.Visualiser.metainfo.xml
recommends=$(dpkg-deb -f dist/visualiser_*.deb Recommends)
grep -qw qt6-wayland <<<"$recommends" || fail "visualiser recommends '$recommends', not qt6-wayland"
echo "  visualiser: recommends $recommends"
while read -r completion; do
    in_root bash -n "$completion" </dev/null || fail "$completion is not valid bash"
done < <(grep -h '^/usr/share/bash-completion/completions/.' "$work/"*.files || true)
while read -r entry; do
    exec_line=$(grep -m1 '^Exec=' "$root$entry") || fail "$entry has no Exec line"
    read -r command _ <<<"${exec_line#Exec=}"
    in_root sh -c "command -v '$command'" </dev/null >/dev/null ||
        fail "$entry starts '$command', which is not installed"
    in_root "$command" --help </dev/null >/dev/null ||
        fail "$entry starts '$command', whose --help fails"
    echo "  $entry starts $command"
done < <(grep -h '^/usr/share/applications/.*\.desktop$' "$work/"*.files || true)

echo "test-install: apt-get purge"
in_root apt-get purge -y -q "${packages[@]}" >"$work/purge.log" 2>&1 ||
    { tail -n 20 "$work/purge.log" >&2; fail "apt-get purge failed"; }
# What is left of the packages' files: anything but a directory that another package still owns.
# shellcheck disable=SC2016 # the script runs in the root
left=$(cat "$work/"*.files | sort -u | in_root sh -c '
    while read -r path; do
        if [ -d "$path" ] && [ ! -L "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1; then
            continue
        fi
        if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
    done')
[ -z "$left" ] || fail "left after the purge: $(tr '\n' ' ' <<<"$left")"
echo "test-install: passed in $((SECONDS - start)) s (without building the packages)"
