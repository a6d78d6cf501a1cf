#!/usr/bin/env bash
# What ./build.sh run starts, the program or the demo, as the instrument's
# address is left unset, set, and emptied again: a folder configured from
# these sources, with stand-ins for the program and for python3, so that
# nothing is started and nothing is sent.
#   check_start.sh SOURCE_DIR
set -euo pipefail
src=$(realpath "$1")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mkdir "$out/bin"
printf '#!/bin/sh\necho demo\n' >"$out/bin/python3"
chmod +x "$out/bin/python3"
status=0
for step in "unset demo" "10.1.2.3 program" "emptied demo"; do
  read -r address expected <<<"$step"
  case $address in
    unset) args=() ;;
    emptied) args=(-DVANTREL_INSTRUMENT_ADDRESS=) ;;
    *) args=(-DVANTREL_INSTRUMENT_ADDRESS="$address") ;;
  esac
  cmake -S "$src" -B "$out/build" "${args[@]}" >"$out/cmake.log" 2>&1 ||
    { cat "$out/cmake.log"; exit 1; }
  printf '#!/bin/sh\necho program\n' >"$out/build/app/vantrel-speedtest"
  chmod +x "$out/build/app/vantrel-speedtest"
  started=$(PATH="$out/bin:$PATH" "$src/tools/start.sh" "$out/build")
  echo "address $address: starts the $started (expected: the $expected)"
  [ "$started" = "$expected" ] || status=1
done
exit "$status"
