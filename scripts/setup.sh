#!/usr/bin/env bash
# Installs the Debian packages that the build, the tools and the tests need. Idempotent: when
# everything is present it only asks dpkg and returns.
set -euo pipefail

packages=(
    cmake make gcc g++ clang libclang-rt-14-dev pkg-config dpkg-dev valgrind
    qt6-base-dev qt6-base-private-dev qt6-shadertools-dev qt6-shader-baker
    libavformat-dev libavcodec-dev libavutil-dev ffmpeg
    libsndfile1-dev libfftw3-dev libbenchmark-dev fonts-dejavu-core
    spirv-tools glslang-tools
    tmux bc time strace
    libvulkan-dev libvulkan1 mesa-vulkan-drivers libegl-mesa0 libgl1-mesa-dri libgles2 libqt6opengl6
    libpulse-dev pulseaudio pulseaudio-utils sox
    g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user
    # The visualiser: video encoding, and its window tests on a virtual display.
    libswscale-dev libswresample-dev libglx-mesa0 xvfb xauth xdotool imagemagick
    # Its MPRIS control, tested on a private session bus.
    dbus playerctl
    # bench/windowsync.sh, which the window test runs, analyses its recordings in Python.
    python3
    # The manual pages, and the checks of the pages, the desktop entry, the icon and the metadata.
    scdoc groff-base desktop-file-utils appstream librsvg2-bin
    # scripts/package.sh and scripts/test-install.sh: the Debian packages, checked in a bare root.
    debootstrap lintian
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
