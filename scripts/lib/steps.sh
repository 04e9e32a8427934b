# shellcheck shell=bash
# Sourced by the long-running scripts so that a first run never sits silent:
#   step WHAT COMMAND [ARG]...
# prints "[TAG] WHAT …" when COMMAND starts and "[TAG]   done in 41 s" (or
# "failed after 41 s (exit N)") when it ends, and returns COMMAND's status.
# COMMAND's own output passes through untouched, errors included. The lines
# go to standard error: standard output is often a value being captured.
# TAG is the outermost script's name, passed down (STEPS_TAG), so a whole run
# of scripts/demo reads [demo]; steps inside a step are indented beneath it.
# A shell function as COMMAND runs without errexit (it is tested with ||),
# so it must chain its commands with && itself.

export STEPS_TAG=${STEPS_TAG:-$(basename "$0")}
export STEPS_DEPTH=${STEPS_DEPTH:-0}

# Seconds, with a fraction; a function so that a test can replace the clock.
steps_now() { echo "${EPOCHREALTIME/,/.}"; }

# How long from START to END, in seconds: "0.4 s", "41 s", "3 min 07 s".
steps_duration() {
  awk -v start="$1" -v end="$2" 'BEGIN {
    d = end - start
    if (d < 10) printf "%.1f s", d
    else if (d < 60) printf "%d s", d
    else printf "%d min %02d s", d / 60, d % 60
  }'
}

step() {
  local what=$1 indent start status=0
  shift
  printf -v indent '%*s' $((STEPS_DEPTH * 2)) ''
  echo "[$STEPS_TAG] $indent$what …" >&2
  start=$(steps_now)
  STEPS_DEPTH=$((STEPS_DEPTH + 1)) "$@" || status=$?
  if ((status == 0)); then
    echo "[$STEPS_TAG] $indent  done in $(steps_duration "$start" "$(steps_now)")" >&2
  else
    echo "[$STEPS_TAG] $indent  failed after $(steps_duration "$start" "$(steps_now)") (exit $status)" >&2
  fi
  return "$status"
}
