# Test tooling for the x11 tests, sourced by their scripts: starts Xvfb servers on free
# display numbers, waits for each with xdpyinfo, and kills them by pid when the script ends.
# A machine without Xvfb skips the test (status 77) with a message saying so.

XVFB_PIDS=""
trap 'for p in $XVFB_PIDS; do kill "$p" 2>/dev/null; done' EXIT

require_x11_tools() {
  for tool in Xvfb xdpyinfo "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "$tool not found: the x11 tests are skipped (install the Makefile's PACKAGES)"
      exit 77
    fi
  done
}

# start_xvfb DEPTH: a new server with one 640x480 screen of that depth; its name in XVFB_DISPLAY.
# The server picks a free display number itself and writes it once it accepts connections
# (-displayfd), so scripts running side by side never share or kill each other's server. It
# does not reset when its last client leaves (-noreset): a connection made during a reset
# would be refused.
start_xvfb() {
  local depth=$1 number pid i
  number=$(mktemp)
  Xvfb -displayfd 3 -noreset -screen 0 "640x480x$depth" -nolisten tcp 3>"$number" >/dev/null 2>&1 &
  pid=$!
  for i in $(seq 200); do
    if [ -s "$number" ] && xdpyinfo -display ":$(cat "$number")" >/dev/null 2>&1; then
      XVFB_PIDS="$XVFB_PIDS $pid"
      XVFB_DISPLAY=":$(cat "$number")"
      rm -f "$number"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null
  rm -f "$number"
  echo "no Xvfb server could be started"
  exit 1
}

# wait_for_line FILE TEXT SECONDS: until a line of FILE is TEXT.
wait_for_line() {
  local i
  for i in $(seq $(($3 * 20))); do
    grep -qx "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "no line '$2' in $1 after $3 s:"
  cat "$1"
  return 1
}
