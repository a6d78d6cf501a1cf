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
# One folder, configured again at each step, as a user's build is.
for step in "demo" "program -DVANTREL_INSTRUMENT_ADDRESS=10.1.2.3" \
            "demo -DVANTREL_INSTRUMENT_ADDRESS="; do
  read -r expected args <<<"$step"
  # shellcheck disable=SC2086
  cmake -S "$src" -B "$out/build" $args >"$out/cmake.log" 2>&1 ||
    { cat "$out/cmake.log"; exit 1; }
  printf '#!/bin/sh\necho program\n' >"$out/build/app/vantrel-speedtest"
  chmod +x "$out/build/app/vantrel-speedtest"
  started=$(PATH="$out/bin:$PATH" "$src/tools/start.sh" "$out/build")
  echo "${args:-no address set}: starts the $started (expected: the $expected)"
  [ "$started" = "$expected" ] || status=1
done
exit "$status"
