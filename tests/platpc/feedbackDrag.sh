#!/bin/sh
# Drives one drag with xdotool once the test program says READY (its output passes through):
# press over the test's window, move in two steps, release.
while IFS= read -r line; do
  printf '%s\n' "$line"
  case "$line" in
    *READY*)
      (xdotool mousemove 50 50 mousedown 1; sleep 1; xdotool mousemove 120 100; sleep 0.5
       xdotool mousemove 200 150; sleep 1; xdotool mouseup 1) >/dev/null 2>&1 &
      ;;
  esac
done
wait
