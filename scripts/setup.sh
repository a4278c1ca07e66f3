#!/usr/bin/env bash
# Installs the Debian packages that the build, the tools and the tests need, on Debian 12 and 13.
# Idempotent: when everything is present it only asks dpkg and returns, without apt-get update.
#
# --light: only what the normal build, its CTest suite, scripts/package.sh and
# scripts/test-install.sh need; no sanitizer tool chain (clang, its runtime, llvm) and no aarch64
# cross build (cross compiler, qemu-user). For a bare root of another release.
#
# Names are those both releases know. A library that Debian 13 renamed for 64-bit time (libfoo6 ->
# libfoo6t64) counts as present when an installed package provides the old name, and is installed
# through its provider where the old name has no package of its own. clang's runtime and llvm
# carry clang's major version, which is read off the clang installed first.
set -euo pipefail

light=false
case "${1-}" in
"") ;;
--light) light=true ;;
*)
    echo "usage: $0 [--light]" >&2
    exit 2
    ;;
esac

packages=(
    cmake make gcc g++ pkg-config dpkg-dev valgrind
    qt6-base-dev qt6-base-private-dev qt6-shadertools-dev qt6-shader-baker
    libavformat-dev libavcodec-dev libavutil-dev ffmpeg
    libsndfile1-dev libfftw3-dev libbenchmark-dev fonts-dejavu-core
    spirv-tools glslang-tools
    tmux bc time strace
    libvulkan-dev libvulkan1 mesa-vulkan-drivers libegl-mesa0 libgl1-mesa-dri libgles2 libqt6opengl6
    libpulse-dev pulseaudio pulseaudio-utils sox
    # Live capture through PipeWire's own protocol, and the private PipeWire of its tests;
    # pipewire-pulse for bench/pipewire.sh's comparison of the two paths on one daemon.
    libpipewire-0.3-dev libspa-0.2-dev pipewire pipewire-bin wireplumber pipewire-pulse
    # The visualiser: video encoding, and its window tests on a virtual display.
    libswscale-dev libswresample-dev libglx-mesa0 xvfb xauth xdotool imagemagick
    # A window manager for the full-screen checks: without one nothing takes a window full screen.
    # Qt's Wayland plugin, for the checks of what the window says when Wayland does not answer.
    evilwm qt6-wayland
    # Its MPRIS control, tested on a private session bus.
    dbus playerctl
    # bench/windowsync.sh, which the window test runs, analyses its recordings in Python.
    python3
    # The manual pages, and the checks of the pages, the desktop entry, the icon and the metadata.
    scdoc groff-base desktop-file-utils appstream librsvg2-bin
    # The LED output's tests: a network namespace of their own with only its loopback up.
    iproute2
    # scripts/package.sh and scripts/test-install.sh: the Debian packages, checked in a bare root.
    debootstrap lintian
)
if ! $light; then
    # scripts/test.sh's golden hashes on aarch64, and its sanitizer builds (clang's runtime and
    # llvm-symbolizer follow clang below).
    packages+=(g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user clang)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
updated=false

# Every name that an installed package has or provides, one a line.
present_names() {
    dpkg-query -W -f='${db:Status-Abbrev} ${Package} ${Provides}\n' 2>/dev/null |
        awk '$1 == "ii" { for (i = 2; i <= NF; i++) { name = $i; sub(/,$/, "", name)
            if (name !~ /^\(/ && name !~ /\)$/) { sub(/:.*/, "", name); print name } } }' | sort -u
}

# The package to install for a name: itself where it has a candidate, else its one provider.
installable() {
    local name=$1 policy provider
    policy=$(apt-cache policy "$name" 2>/dev/null)
    if grep -q '^ *Candidate: [^(]' <<<"$policy"; then
        echo "$name"
        return
    fi
    provider=$(apt-cache showpkg "$name" 2>/dev/null |
        awk '/^Reverse Provides:/ { on = 1; next } on && NF { print $1 }' | sort -u)
    if [ "$(wc -l <<<"$provider")" -ne 1 ] || [ -z "$provider" ]; then
        echo "setup: no single package installs $name: ${provider:-none}" >&2
        exit 1
    fi
    echo "$provider"
}

# ensure NAME...: installs those of the names that nothing installed has or provides.
ensure() {
    local present missing=() name
    present=$(present_names)
    for name in "$@"; do
        grep -qxF "$name" <<<"$present" || missing+=("$name")
    done
    ((${#missing[@]})) || return 0
    if ! $updated; then
        $sudo apt-get update -qq
        updated=true
    fi
    local resolved=()
    for name in "${missing[@]}"; do
        resolved+=("$(installable "$name")")
    done
    echo "setup: installing ${resolved[*]}"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${resolved[@]}"
}

ensure "${packages[@]}"
if ! $light; then
    major=$(clang -dumpversion | cut -d. -f1)
    ensure "libclang-rt-$major-dev" "llvm-$major"
fi
