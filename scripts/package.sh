#!/usr/bin/env bash
# The Debian packages: installs what is missing, builds in Release with the core as a shared
# library (build-package/, without tests, self-checks or benchmarks), and has cpack make
# libbandcore1, libbandcore-dev, bandview and visualiser into dist/, one line each with its size.
set -euo pipefail
cd "$(dirname "$0")/.."
build="build-package"

# The packages need only the light set: no sanitizer or cross tool chain.
scripts/setup.sh --light
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# The prefix the packages install into: with /usr, the library and its pkg-config and CMake files
# go to Debian's multiarch folder (/usr/lib/<triplet>), where the linker and a cross build look.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_SHARED_LIBS=ON -DBANDCORE_TESTS=OFF -DBANDCORE_SELFCHECK=OFF -DBANDCORE_BENCH=OFF \
    "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
# cpack's own output names each package; its staging folders go with the packages of the last run.
rm -rf "$build/cpack" dist
if ! cpack -G DEB -B "$build/cpack" --config "$build/CPackConfig.cmake" >"$build/cpack.log" 2>&1; then
    cat "$build/cpack.log" >&2
    echo "package: cpack failed" >&2
    exit 1
fi
mkdir dist
mv "$build/cpack/"*.deb dist/
for deb in dist/*.deb; do
    printf '%-16s %6s KiB  (installed %s KiB)  %s\n' "$(dpkg-deb -f "$deb" Package)" \
        "$(($(stat -c %s "$deb") / 1024))" "$(dpkg-deb -f "$deb" Installed-Size)" "$deb"
done
