#!/usr/bin/env bash
# Installs what the action needs from Debian's packages, builds, then either
# starts the program (run) or runs the whole test suite (test).
#   ./build.sh run     build and start vantrel-speedtest: against the
#                      instrument once its address is set, and until then
#                      against the simulated one, in private namespaces
#   ./build.sh test    build and run every test through ctest
#   ./build.sh build   only build
# Extra CMake options can be given in CMAKE_ARGS, for example
#   CMAKE_ARGS=-DVANTREL_INSTRUMENT_ADDRESS=10.1.2.3 ./build.sh run
set -euo pipefail
cd "$(dirname "$0")"

# Python's byte code stays out of the checkout, which root would otherwise
# leave with folders the user cannot clean.
export PYTHONDONTWRITEBYTECODE=1

action=${1:-build}
build_dir=${BUILD_DIR:-build}
case "$action" in
  build | run | test) ;;
  *) echo "usage: $0 [build|run|test]" >&2; exit 2 ;;
esac

# The names hold on Debian 12 and 13 alike; none is pinned to a version.
# Building and running the program; python3 and iproute2 for the demo.
packages=(build-essential cmake qt6-base-dev libgl-dev fonts-dejavu-core python3 iproute2)
# The tests: the end-to-end lab's display and OCR, its system bus with polkit
# and rtkit, X11's session bus starter (which the demo must keep from
# outliving it), the fuzzers, the install and package checks, the Windows
# cross build, its MSI and Wine, a Debian 13 root; cyclictest for the
# benchmarks.
if [ "$action" = test ]; then
  packages+=(xvfb xauth x11-utils xdotool openbox imagemagick tesseract-ocr
             dbus-daemon dbus-bin dbus-x11 polkitd rtkit rt-tests
             clang libclang-rt-dev desktop-file-utils appstream dpkg-dev lintian
             g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 fonts-wine
             wixl msitools mmdebstrap)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "These Debian packages are missing; install them as root, then run $0 $action again:" >&2
      echo "  apt-get install ${missing[*]}" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j"$(nproc)"
# Built and tested through sudo, the build folder stays the invoking user's
# (the tests write theirs, the Windows build and its Wine prefix into it), so
# that their own next ./build.sh can write to it.
give_back() {
  if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID:-}" ]; then
    chown -R "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$build_dir"
  fi
}
give_back

case "$action" in
  run) exec tools/start.sh "$build_dir" ;;
  test)
    # Every process the tests start inherits the mark; none may outlive them.
    VANTREL_TEST_RUN="$$.$(date +%s%N)"
    export VANTREL_TEST_RUN
    status=0
    (cd "$build_dir" && ctest --output-on-failure --timeout 600) || status=$?
    tests/left_behind.sh || status=1
    give_back
    exit "$status" ;;
esac
