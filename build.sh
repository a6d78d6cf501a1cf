#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, builds, then either
# starts the program (run) or runs the whole test suite (test).
#   ./build.sh run     build and start vantrel-speedtest
#   ./build.sh test    build and run every test through ctest
#   ./build.sh build   only build
# Extra CMake options can be given in CMAKE_ARGS, for example
#   CMAKE_ARGS=-DVANTREL_INSTRUMENT_ADDRESS=10.1.2.3 ./build.sh run
set -euo pipefail
cd "$(dirname "$0")"

action=${1:-build}
build_dir=${BUILD_DIR:-build}

# Everything the build, the tests and the end-to-end harness use, the cross
# build for Windows and Wine to run it included.
packages=(build-essential cmake qt6-base-dev libgl-dev fonts-dejavu-core
          xvfb xauth x11-utils xdotool openbox iproute2 imagemagick
          tesseract-ocr python3 clang libclang-rt-14-dev
          desktop-file-utils appstream dpkg-dev lintian
          g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 fonts-wine)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j"$(nproc)"

case "$action" in
  run)   exec "$build_dir/app/vantrel-speedtest" ;;
  test)  cd "$build_dir" && exec ctest --output-on-failure --timeout 600 ;;
  build) ;;
  *) echo "usage: $0 [build|run|test]" >&2; exit 2 ;;
esac
