#!/usr/bin/env bash
# One start of a program up to its first visible window, for timing the whole
# of it from outside:
#
#   bench/window_start.sh PROGRAM TITLE
#
# starts PROGRAM on the display in $DISPLAY, waits (polling every 5 ms) until
# a window titled exactly TITLE is visible, then ends the program. Compare
# Pinmark with the bare Qt window of bench/bare_window.cpp, both alternately
# on one display, for example with GNU time over seven runs of each:
#
#   Xvfb :55 -screen 0 1280x800x24 & export DISPLAY=:55
#   bench/window_start.sh build/bin/pinmark Pinmark
#   bench/window_start.sh build/bench/bare_window Bare
#
# Pinmark should have a complete account in its Pinmark.ini, so that no
# message box comes up first.
set -euo pipefail
program=$1 title=$2
"$program" >/dev/null 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
until xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1; do
  kill -0 "$pid" 2>/dev/null || { echo "$program ended before its window showed" >&2; exit 1; }
  sleep 0.005
done
kill "$pid"
wait "$pid" 2>/dev/null || true
trap - EXIT
