#!/usr/bin/env bash
# The core as other programs get it: configures the core alone (every BANDCORE_* option off, Qt
# hidden) in fresh build directories, installs a static and a shared build into temporary
# prefixes, builds both examples against a prefix only (CMake package and pkg-config), runs them on
# generated sines and checks the band they name; checks that every public header compiles on its
# own, that the shared library exports only the public API, and that cpack makes the -dev package.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The examples build from a copy, so that nothing can reach into the source tree.
cp -r examples "$work/examples"

fail() {
    echo "test-package: $*" >&2
    exit 1
}

# Runs a command quietly; its output appears only when it fails.
quiet() {
    "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "failed: $*"; }
}

# rate, frequency: one second of a sine at half full scale, as raw native floats.
sine() {
    perl -e 'my ($r, $f) = @ARGV;
             print pack("f*", map { 0.5 * sin(6.283185307179586 * $f * $_ / $r) } 0 .. $r - 1)' \
        "$1" "$2"
}

# program, frequency, lowest and highest centre (Hz) the loudest band may name: the band holding
# the frequency, whose centre lies within a factor 400^(1/28/2), about 1.113, of it.
check_band() {
    local program=$1 freq=$2 lo=$3 hi=$4 line hz
    line=$(sine 48000 "$freq" | "$program" 48000 | tail -n 1)
    [[ $line =~ \(([0-9]+)\ Hz\)$ ]] || fail "$program printed no band for $freq Hz: '$line'"
    hz=${BASH_REMATCH[1]}
    ((hz >= lo && hz <= hi)) || fail "$program named $hz Hz for a $freq Hz sine: '$line'"
    echo "  $freq Hz sine -> $line"
}

for kind in static shared; do
    shared=OFF
    [[ $kind == shared ]] && shared=ON
    build=$work/build-$kind prefix=$work/prefix-$kind
    echo "test-package: $kind core"
    quiet cmake -S . -B "$build" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DBUILD_SHARED_LIBS=$shared \
        -DBANDCORE_TOOLS=OFF -DBANDCORE_TESTS=OFF -DBANDCORE_SELFCHECK=OFF \
        -DBANDCORE_CAPTURE=OFF -DBANDCORE_VISUAL=OFF -DBANDCORE_BENCH=OFF
    quiet cmake --build "$build" -j"$(nproc)"
    quiet cmake --install "$build" --prefix "$prefix"
    ! grep -rIl "$src" "$prefix" || fail "the $kind install refers to the source tree"

    # CMake: find_package against the prefix alone.
    quiet cmake -S "$work/examples/cpp" -B "$work/cpp-$kind" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    quiet cmake --build "$work/cpp-$kind"
    grep -qx "bandcore_DIR:PATH=$prefix/lib/cmake/bandcore" "$work/cpp-$kind/CMakeCache.txt" ||
        fail "the C++ example found a package outside $prefix"
    # pkg-config, strict C99.
    export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
    [[ $(pkg-config --path bandcore) == "$prefix/lib/pkgconfig/bandcore.pc" ]] ||
        fail "pkg-config found a bandcore.pc outside $prefix"
    # shellcheck disable=SC2046 # the flags are words
    gcc -std=c99 -pedantic -Wall -Wextra -Werror "$work/examples/c/main.c" \
        $(pkg-config --cflags --libs bandcore) -o "$work/c-$kind"
    export LD_LIBRARY_PATH=$prefix/lib
    for program in "$work/cpp-$kind/bands" "$work/c-$kind"; do
        check_band "$program" 1000 899 1113
        check_band "$program" 100 89 112
    done
    unset LD_LIBRARY_PATH
done

echo "test-package: each public header on its own"
for header in "$work/prefix-static/include/dsp/"*.h; do
    g++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -x c++ \
        -I"$work/prefix-static/include" "$header"
done
# ISO C wants a declaration in every translation unit; export.h alone declares nothing.
for header in bandcore.h version.h export.h; do
    printf '#include <dsp/%s>\ntypedef int declaration;\n' "$header" |
        gcc -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only -x c \
            -I"$work/prefix-static/include" -
done

echo "test-package: exported symbols"
lib=$work/prefix-shared/lib/libbandcore.so
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[[ $soname == libbandcore.so.1 ]] || fail "SONAME is '$soname'"
# Defined dynamic symbols: the C API, dsp:: functions, and the standard library's template
# instantiations, which the compiler emits as weak symbols.
strays=$(nm -D --defined-only "$lib" | c++filt |
    awk '{ type = $2; $1 = $2 = ""; sub(/^  /, "") }
         !(/^bandcore_/ || /^dsp::/ || (type ~ /^[WV]$/ && /^std::/))')
[[ -z $strays ]] || fail "exported beyond the public API: $strays"
echo "  $(nm -D --defined-only "$lib" | wc -l) symbols, SONAME $soname"

echo "test-package: version compatibility"
mkdir "$work/version"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(v LANGUAGES NONE)\nfind_package(bandcore 2.0 CONFIG REQUIRED)\n' \
    >"$work/version/CMakeLists.txt"
if cmake -S "$work/version" -B "$work/version/build" -DCMAKE_PREFIX_PATH="$work/prefix-static" \
    >/dev/null 2>&1; then
    fail "version 1.0.0 claims to satisfy find_package(bandcore 2.0)"
fi

echo "test-package: Debian packages"
# The packages' version names the Debian release they were built on.
version=$(
    . /etc/os-release
    suffix=""
    [[ ${ID:-} != debian || ! ${VERSION_ID:-} =~ ^[0-9]+$ ]] || suffix=+deb$VERSION_ID
    echo "1.0.0$suffix"
)
# file: the paths (under /usr) a package must hold
expect() {
    local deb=$1 contents file
    shift
    contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
    for file in "$@"; do
        grep -qx "\./usr/$file" <<<"$contents" || fail "$(basename "$deb") lacks /usr/$file"
    done
    echo "  $(basename "$deb"): $(grep -c '[^/]$' <<<"$contents") files"
}
dev_files=(include/dsp/bandcore.h include/dsp/spectrumanalyzer.h include/dsp/version.h
    lib/cmake/bandcore/bandcoreConfig.cmake lib/cmake/bandcore/bandcoreConfigVersion.cmake
    lib/cmake/bandcore/bandcoreTargets.cmake lib/pkgconfig/bandcore.pc)
quiet cpack -G DEB -B "$work/deb-static" --config "$work/build-static/CPackConfig.cmake"
expect "$work/deb-static/"libbandcore-dev_"$version"_*.deb "${dev_files[@]}" lib/libbandcore.a
# A shared build splits the versioned library off into libbandcore1.
quiet cpack -G DEB -B "$work/deb-shared" --config "$work/build-shared/CPackConfig.cmake"
expect "$work/deb-shared/"libbandcore-dev_"$version"_*.deb "${dev_files[@]}" lib/libbandcore.so
expect "$work/deb-shared/"libbandcore1_"$version"_*.deb lib/libbandcore.so.1
[[ $(dpkg-deb -f "$work/deb-shared/"libbandcore-dev_"$version"_*.deb Depends) == \
    "libbandcore1 (= $version)" ]] || fail "libbandcore-dev does not depend on libbandcore1"
echo "test-package: passed"
