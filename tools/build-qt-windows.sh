#!/usr/bin/env bash
# Builds the host's own Qt version of qtbase for 64-bit Windows with Debian's
# MinGW-w64 cross compilers, from the host release's qt6-base source package,
# into CACHE_DIR (about 40 minutes on 2 cores). Needs root for apt-get.
#   tools/build-qt-windows.sh CACHE_DIR     -> CACHE_DIR/qt6-mingw-VERSION
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=$(realpath -m "$1")
work=$cache/qt-build
# The source of the host's qt6-base-dev, so that moc and the target agree.
source_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
upstream=$(dpkg-query -W -f='${source:Upstream-Version}' qt6-base-dev)
version=${upstream%%[+~]*}
prefix=$cache/qt6-mingw-$version
mkdir -p "$work/lists/partial" "$work/src"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev qt6-base-dev ninja-build cmake xz-utils dpkg-dev

# Source entries of our own, made from the machine's Debian entries, so the
# machine's apt configuration stays as it is.
if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
  sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/*.sources > "$work/src.sources"
else
  grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > "$work/src.list"
fi
apt_src=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work"
         -o "Dir::State::Lists=$work/lists")
apt-get "${apt_src[@]}" update -qq
(cd "$work/src" && apt-get "${apt_src[@]}" source --download-only qt6-base="$source_version")
rm -rf "$work/qtbase-everywhere-src-$version"
tar -C "$work" -xf "$work/src/qt6-base_$upstream.orig.tar.xz"

# This source with MinGW: the dfsg tarball has no wintab.h (no tablet events),
# the schannel TLS backend needs ssl (off), and the windows platform plugin
# needs OpenGL (on). Everything else the program does not use is left out.
cmake -G Ninja -S "$work/qtbase-everywhere-src-$version" -B "$work/build" \
  --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF \
  -DFEATURE_vulkan=OFF -DFEATURE_openssl=OFF -DFEATURE_ssl=OFF -DFEATURE_schannel=OFF \
  -DFEATURE_tabletevent=OFF -DFEATURE_opengl=ON -DFEATURE_opengl_desktop=ON \
  -DFEATURE_testlib_selfcover=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF \
  -DFEATURE_system_jpeg=OFF
cmake --build "$work/build" --parallel "$(nproc)"
cmake --install "$work/build"
find "$prefix" -name '*.dll' -exec x86_64-w64-mingw32-strip --strip-unneeded {} \;
rm -rf "$work"
echo "$prefix"
