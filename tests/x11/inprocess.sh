# The in-process x11 tests against a 24-bit and an 8-bit (PseudoColor) Xvfb server; with the
# mode twm, the window-manager cases against a server that runs twm.
#   inprocess.sh MODE TEST_PROGRAM
set -u
mode=$1 program=$2
. "$(dirname "$0")/xvfb.sh"
if [ "$mode" = twm ]; then
  require_x11_tools twm xwininfo
  start_xvfb 24
  export TESSEL_X24=$XVFB_DISPLAY TESSEL_X8=$XVFB_DISPLAY
  rc=$(mktemp)
  # The server has only its built-in fonts: twm is given "fixed" for all of its own.
  for f in Title Resize Menu Icon IconManager; do printf '%sFont "fixed"\n' "$f"; done >"$rc"
  printf 'RandomPlacement\nUsePPosition "on"\nNoGrabServer\n' >>"$rc"
  DISPLAY=$XVFB_DISPLAY twm -f "$rc" >/dev/null 2>&1 &
  twm_pid=$!
  XVFB_PIDS="$twm_pid $XVFB_PIDS"
  # twm makes its own windows on the root once it manages the screen.
  for i in $(seq 100); do
    kill -0 "$twm_pid" 2>/dev/null || { echo "twm did not start"; exit 1; }
    xwininfo -display "$XVFB_DISPLAY" -root -children | grep -q '^ *0x' && break
    sleep 0.05
  done
  exec_filter='X11.X11_WindowManager_*'
else
  start_xvfb 24
  TESSEL_X24=$XVFB_DISPLAY
  start_xvfb 8
  export TESSEL_X24 TESSEL_X8=$XVFB_DISPLAY
  exec_filter='-X11.X11_WindowManager_*'
fi
"$program" --gtest_filter="$exec_filter"
status=$?
[ "$mode" = twm ] && rm -f "$rc"
exit $status
