#!/usr/bin/env bash
# Starts what ./build.sh run starts, from a configured and built folder:
#   tools/start.sh BUILD_DIR
# The program sends to its instrument as soon as it starts. Until an address
# has been chosen, that is a factory default that is likely some other machine
# here, so it runs against the simulated instrument, in private namespaces.
set -euo pipefail
build=$1
if grep -q '^VANTREL_INSTRUMENT_ADDRESS:STRING=.' "$build/CMakeCache.txt"; then
  exec "$build/app/vantrel-speedtest"
fi
exec python3 "$(dirname "$0")/demo.py" --build "$build"
