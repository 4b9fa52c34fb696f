#!/usr/bin/env bash
# Cross-builds, for the Windows (MinGW-w64) configuration, the static libraries qmxcam.exe writes
# TIFF and PNG with: zlib, libpng and libtiff, from Debian's source packages (the upstream
# sources with Debian's patches applied, each download checked by apt against its signed .dsc).
# The result is kept in build/mingw-libraries (or $QMX_MINGW_LIBRARIES) with a stamp naming the
# versions built; a second run with the stamp in place does nothing. The machine's own apt
# configuration is not touched: the source index is read into a folder of its own.
#   scripts/mingw_libraries.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${QMX_MINGW_LIBRARIES:-$root/build/mingw-libraries}
packages=(zlib libpng1.6 tiff)
# The recipe's own version: a change to the build steps below builds again.
recipe=1

stamp="$prefix/built-from.txt"
if [ -f "$stamp" ] && grep -qx "recipe $recipe" "$stamp"; then
  echo "mingw libraries: present ($(grep -v '^recipe' "$stamp" | tr '\n' ' '))"
  exit 0
fi

start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log="$work/build.log"
fail() {
  echo "mingw libraries: $1; the last lines of the log:" >&2
  tail -n 30 "$log" >&2
  exit 1
}

# Debian's source index, beside the machine's binary one.
mkdir -p "$work/lists/partial" "$work/sources"
uri=$(grep -h -m1 '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' || true)
if [ -z "$uri" ]; then
  uri=$(grep -h -m1 '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}')
fi
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
printf 'deb-src %s %s main\n' "$uri" "$suite" >"$work/src.list"
apt_options=(-o Dir::Etc::SourceList="$work/src.list" -o Dir::Etc::SourceParts=/dev/null
             -o Dir::State::Lists="$work/lists")
apt-get "${apt_options[@]}" update >>"$log" 2>&1 || fail "cannot read Debian's source index"
(cd "$work/sources" && apt-get "${apt_options[@]}" source --download-only "${packages[@]}") \
  >>"$log" 2>&1 || fail "cannot fetch the source packages"

# Extracted with Debian's patches applied.
versions=()
for package in "${packages[@]}"; do
  dsc=$(ls "$work/sources/${package}"_*.dsc | head -n 1)
  versions+=("$(basename "$dsc" .dsc)")
  (cd "$work/sources" && dpkg-source -x "$(basename "$dsc")" "$package") >>"$log" 2>&1 ||
    fail "cannot unpack $dsc"
done

rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib"
toolchain="$root/cmake/mingw-w64.cmake"
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX="$prefix" -DQMX_MINGW_LIBRARIES="$prefix")

# zlib: the static library only, under the name the other two look for.
cmake -S "$work/sources/zlib" -B "$work/build-zlib" "${common[@]}" >>"$log" 2>&1 &&
  cmake --build "$work/build-zlib" -j2 --target zlibstatic >>"$log" 2>&1 ||
  fail "zlib did not build"
cp "$work/build-zlib/libzlibstatic.a" "$prefix/lib/libz.a"
cp "$work/sources/zlib/zlib.h" "$work/build-zlib/zconf.h" "$prefix/include/"

cmake -S "$work/sources/libpng1.6" -B "$work/build-png" "${common[@]}" -DPNG_SHARED=OFF \
  -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DZLIB_ROOT="$prefix" >>"$log" 2>&1 &&
  cmake --build "$work/build-png" -j2 >>"$log" 2>&1 &&
  cmake --install "$work/build-png" >>"$log" 2>&1 || fail "libpng did not build"

# libtiff without codecs: qmxcam writes uncompressed pages.
cmake -S "$work/sources/tiff" -B "$work/build-tiff" "${common[@]}" -DBUILD_SHARED_LIBS=OFF \
  -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF -Dzlib=OFF \
  -Dlibdeflate=OFF -Dpixarlog=OFF -Djpeg=OFF -Dold-jpeg=OFF -Djbig=OFF -Dlerc=OFF -Dlzma=OFF \
  -Dzstd=OFF -Dwebp=OFF >>"$log" 2>&1 &&
  cmake --build "$work/build-tiff" -j2 >>"$log" 2>&1 &&
  cmake --install "$work/build-tiff" >>"$log" 2>&1 || fail "libtiff did not build"

{
  echo "recipe $recipe"
  printf '%s\n' "${versions[@]}"
} >"$stamp"
echo "mingw libraries: built in $((SECONDS - start)) s into $prefix ($(echo "${versions[@]}"))"
