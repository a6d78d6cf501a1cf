#!/usr/bin/env bash
# Ends and names what a test run left running: every process the run started
# inherits VANTREL_TEST_RUN from it, so whatever still carries the run's mark
# once the tests are done was left behind.
#   VANTREL_TEST_RUN=MARK left_behind.sh
# Waits a little for processes that are on their way out (a Wine server that
# lingers); exits 1, after killing them, if any stayed.
set -euo pipefail
mark=VANTREL_TEST_RUN=${VANTREL_TEST_RUN:?the run\'s mark is not set}
marked() {
  local environ pid
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/} && pid=${pid%/environ}
    # This script and its own commands carry the mark too.
    [ "$pid" = "$$" ] || [ "$pid" = "$BASHPID" ] && continue
    grep -qzxF "$mark" "$environ" 2>/dev/null && echo "$pid"
  done
  return 0
}
for _ in $(seq 20); do
  [ -z "$(marked)" ] && exit 0
  sleep 0.5
done
pids=$(marked)
echo "FAIL: the tests left these processes running; they are killed now:"
for pid in $pids; do
  echo "  $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
done
# shellcheck disable=SC2086
kill -KILL $pids 2>/dev/null || true
exit 1
