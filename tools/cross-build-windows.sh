#!/usr/bin/env bash
# Cross-builds the program and its unit tests for 64-bit Windows with
# Debian's MinGW-w64, and makes the zip (cpack -G ZIP) and, where wixl is
# installed, the MSI (tools/make-msi.sh).
#   tools/cross-build-windows.sh [BUILD_DIR]       (default: build-windows)
# The Qt for Windows it builds against must be the host's Qt version (moc,
# rcc and uic come from the host), VERSION below; first found of:
#   1. VANTREL_QT_WINDOWS: a Qt folder, or a .tar.xz of one;
#   2. ../shared/windows/qt6-mingw-VERSION-x86_64.tar.xz beside the project;
#   3. a Qt built earlier into the cache by tools/build-qt-windows.sh;
#   4. otherwise tools/build-qt-windows.sh builds it (about 40 minutes).
# Tarballs are unpacked into the cache once. Extra CMake options can be
# given in CMAKE_ARGS, as for build.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-windows}")
cache=${VANTREL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vantrel-speedtest}

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres cmake; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (./build.sh installs it)" >&2; exit 77; }
done

# A folder holding a Qt for Windows (the one with lib/cmake/Qt6 in it).
qt_in() { dirname "$(dirname "$(dirname "$(find "$1" -maxdepth 4 -path '*/lib/cmake/Qt6' | head -1)")")"; }

unpacked() {
  local tarball=$1 dest
  dest=$cache/$(basename "$tarball" .tar.xz)
  if [ ! -e "$dest/.unpacked" ]; then
    echo "Unpacking $tarball into $dest" >&2
    rm -rf "$dest" && mkdir -p "$dest"
    tar -C "$dest" -xJf "$tarball"
    touch "$dest/.unpacked"
  fi
  qt_in "$dest"
}

# The host's Qt, as Debian versions it: 6.8.2 from 6.8.2+dfsg-9+deb13u2.
version=$(dpkg-query -W -f='${source:Upstream-Version}' qt6-base-dev 2>/dev/null) ||
  { echo "qt6-base-dev is missing (./build.sh installs it)" >&2; exit 77; }
version=${version%%[+~]*}
cached=$cache/qt6-mingw-$version

qt=""
shared=$root/../shared/windows/qt6-mingw-$version-x86_64.tar.xz
if [ -n "${VANTREL_QT_WINDOWS:-}" ]; then
  if [ -d "$VANTREL_QT_WINDOWS" ]; then qt=$(qt_in "$VANTREL_QT_WINDOWS"); else qt=$(unpacked "$VANTREL_QT_WINDOWS"); fi
elif [ -f "$shared" ]; then
  qt=$(unpacked "$shared")
elif [ -e "$cached/lib/cmake/Qt6" ]; then
  qt=$cached
else
  "$root/tools/build-qt-windows.sh" "$cache"
  qt=$cached
fi
[ -n "$qt" ] && [ -d "$qt/lib/cmake/Qt6" ] || { echo "no Qt for Windows found" >&2; exit 1; }
found=$(sed -n 's/^#define QTCORE_VERSION_STR "\(.*\)"/\1/p' "$qt/include/QtCore/qtcoreversion.h")
[ "$found" = "$version" ] ||
  { echo "the Qt for Windows in $qt is $found; the host's Qt is $version, and the two must match" >&2; exit 1; }
echo "Qt $version for Windows: $qt" >&2

# shellcheck disable=SC2086
cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
  -DVANTREL_QT_WINDOWS="$qt" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G ZIP >/dev/null)
ls "$build"/vantrel-speedtest-*-win64.zip
if command -v wixl >/dev/null; then
  "$root/tools/make-msi.sh" "$build"
else
  echo "wixl is missing, so no MSI was made (apt-get install wixl)" >&2
fi
