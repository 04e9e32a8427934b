#!/usr/bin/env bash
# The lines scripts/lib/steps.sh prints around a step, exactly, with the
# clock replaced so that every duration is known.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
STEPS_TAG=t
STEPS_DEPTH=0
# shellcheck source=../../scripts/lib/steps.sh
source "$root/scripts/lib/steps.sh"

times=$(mktemp)
trap 'rm -f "$times"' EXIT
# Each call takes the next time from the file (the calls run in subshells).
steps_now() {
  head -n 1 "$times"
  sed -i 1d "$times"
}

failures=0
check() {  # NAME START END DEPTH EXPECTED_STATUS EXPECTED_OUTPUT COMMAND...
  local name=$1 depth=$4 expected_status=$5 expected=$6 got status=0
  printf '%s\n%s\n' "$2" "$3" >"$times"
  shift 6
  got=$(STEPS_DEPTH=$depth step "$name" "$@" 2>&1) || status=$?
  if [[ $got != "$expected" || $status != "$expected_status" ]]; then
    printf 'FAILED: %s (exit %s)\n--- expected\n%s\n--- got\n%s\n' "$name" "$status" "$expected" "$got"
    failures=$((failures + 1))
  fi
}

check "building the module for Python 3.12" 100.0 141.9 0 0 \
  $'[t] building the module for Python 3.12 …\n[t]   done in 41 s' true
check "a quick one" 100.0 100.42 0 0 \
  $'[t] a quick one …\n[t]   done in 0.4 s' true
check "a long one" 100.0 292.5 0 0 \
  $'[t] a long one …\n[t]   done in 3 min 12 s' true
check "its output and errors pass through" 5 6.5 0 3 \
  $'[t] its output and errors pass through …\nout\nerr\n[t]   failed after 1.5 s (exit 3)' \
  sh -c 'echo out; echo err >&2; exit 3'
check "a step inside a step" 10 10.2 1 0 \
  $'[t]   a step inside a step …\n[t]     done in 0.2 s' true
check "its command sees itself one deeper" 10 10 1 0 \
  $'[t]   its command sees itself one deeper …\ndepth 2\n[t]     done in 0.0 s' \
  sh -c 'echo "depth $STEPS_DEPTH"'

echo "$((6 - failures)) passed, $failures failed"
((failures == 0))
