#!/usr/bin/env bash
# A bare Debian root, as debootstrap --variant=minbase makes it, for the checks that must not see
# what this machine has installed: scripts/test-install.sh installs the packages into one of this
# machine's release, scripts/test-release.sh builds and tests the project in one of the other.
#
#   bareroot.sh CODENAME DIR
#   bareroot.sh --remove DIR
#
# Makes DIR, which must not exist, a bare root of CODENAME (bookworm, trixie) whose apt reads the
# release, its updates and its security fixes from the mirrors this machine's apt uses. The root
# debootstrap makes is kept as /var/cache/bandcore/roots/CODENAME.tar and reused for a week, so a
# machine downloads it once; a fresh machine makes it. Needs root (sudo otherwise).
#
# --remove unmounts whatever a check mounted below DIR, deepest first, and removes DIR; where
# something stays mounted it leaves DIR in place and says so, so that nothing is ever removed
# through a mount (/dev is the machine's own).
set -euo pipefail

kCacheDir=/var/cache/bandcore/roots
kCacheDays=7

fail() {
    echo "bareroot: $*" >&2
    exit 1
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

if [ $# -eq 2 ] && [ "$1" = --remove ]; then
    dir=$(realpath -m "$2")
    below() { findmnt -rn -o TARGET | awk -v d="$dir/" 'index($0, d) == 1'; }
    below | sort -r | while read -r mount; do
        $sudo umount "$mount" 2>/dev/null || $sudo umount -l "$mount" || true
    done
    if [ -n "$(below)" ]; then
        fail "$dir left in place: something is still mounted in it"
    fi
    $sudo rm -rf "$dir"
    exit 0
fi
[ $# -eq 2 ] || fail "usage: bareroot.sh CODENAME DIR | bareroot.sh --remove DIR"
codename=$1
dir=$2
[ ! -e "$dir" ] || fail "$dir exists already"

# This machine's apt sources, one "URI<TAB>suite" line per suite, from the deb822 files and the
# one-line lists alike.
sources() {
    local files=()
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
        /etc/apt/sources.list.d/*.list; do
        [ ! -f "$file" ] || files+=("$file")
    done
    awk '
        function flush(i, n, s) {
            if (types ~ /(^| )deb( |$)/ && uris != "") {
                n = split(suites, s, " ")
                for (i = 1; i <= n; i++) print uris "\t" s[i]
            }
            types = uris = suites = ""
        }
        FNR == 1 || NF == 0 { flush() }
        FILENAME ~ /\.sources$/ && $1 == "Types:" { types = substr($0, index($0, ":") + 1) }
        FILENAME ~ /\.sources$/ && $1 == "URIs:" { uris = $2 }
        FILENAME ~ /\.sources$/ && $1 == "Suites:" { suites = substr($0, index($0, ":") + 1) }
        FILENAME !~ /\.sources$/ && $1 == "deb" { sub(/\[[^]]*\] */, ""); print $2 "\t" $3 }
        END { flush() }' "${files[@]}" /dev/null
}

# The mirror that serves this machine's release (or its -security suite): the same mirror
# serves every release.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$release" ] || fail "/etc/os-release names no release"
mirror=$(sources | awk -F'\t' -v s="$release" '$2 == s { print $1; exit }')
security=$(sources | awk -F'\t' -v s="$release-security" '$2 == s { print $1; exit }')
[ -n "$mirror" ] || fail "no $release source in /etc/apt: the bare root needs a Debian mirror"

cache=$kCacheDir/$codename.tar
if [ -z "$(find "$cache" -mtime -"$kCacheDays" 2>/dev/null)" ]; then
    echo "bareroot: debootstrap $codename from $mirror"
    $sudo mkdir -p "$kCacheDir"
    fresh=$(mktemp -d "$kCacheDir/$codename.XXXXXX")
    trap '$sudo rm -rf "$fresh"' EXIT
    if ! $sudo debootstrap --variant=minbase "$codename" "$fresh/root" "$mirror" \
        >"$fresh/debootstrap.log" 2>&1; then
        tail -n 20 "$fresh/debootstrap.log" >&2
        fail "debootstrap $codename failed"
    fi
    $sudo tar -C "$fresh/root" --numeric-owner -cf "$fresh/root.tar" .
    $sudo mv "$fresh/root.tar" "$cache"
    $sudo rm -rf "$fresh"
    trap - EXIT
fi

$sudo mkdir -p "$dir"
$sudo tar -C "$dir" --numeric-owner -xf "$cache"
$sudo rm -f "$dir/etc/apt/sources.list"
{
    printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' \
        "$mirror" "$codename" "$codename"
    printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    if [ -n "$security" ]; then
        printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' \
            "$security" "$codename"
        printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    fi
} | $sudo tee "$dir/etc/apt/sources.list.d/debian.sources" >/dev/null
# apt in the root runs with this machine's own settings (a proxy, say): the files no package
# owns. A package's own file belongs to this release; in another release's root its package would
# find it changed and stop to ask.
for file in /etc/apt/apt.conf.d/*; do
    [ ! -f "$file" ] || dpkg-query -S "$file" >/dev/null 2>&1 || $sudo cp "$file" "$dir$file"
done
$sudo cp /etc/resolv.conf "$dir/etc/resolv.conf"
