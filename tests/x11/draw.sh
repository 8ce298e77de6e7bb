# Draw through the real program against Xvfb: the window's pixels, then keys typed with
# XTest, the printed keys against the golden output and the exit status.
#   draw.sh MODE TESSEL MKIMAGE KERNEL_DIR DRAW_SOURCE GOLDEN WORK X11SHOT GUILIB
# MODE plain binds the library on the first GUI primitive, gui at start (-gui), guilib the
# file -guilib names (the program is copied where no library lies beside it); idle runs plain
# under PEAKRSS and leaves it waiting 2 s with no events before the keys come: it must not
# spend that time on the CPU.
set -u
mode=$1 tessel=$2 mkimage=$3 kernel=$4 source=$5 golden=$6 work=$7 shot=$8 guilib=$9 peakrss=${10}
. "$(dirname "$0")/xvfb.sh"
require_x11_tools xdotool
rm -rf "$work" && mkdir -p "$work"
"$mkimage" -o "$work/draw.im" "$kernel"/*.som "$source" --args Draw || exit 1
options=""
program=$tessel
runner=""
case $mode in
  idle) runner=$peakrss ;;
  gui) options="-gui" ;;
  guilib)
    mkdir -p "$work/bin" "$work/lib"
    cp "$tessel" "$work/bin/tessel" && cp "$guilib" "$work/lib/custom.so" || exit 1
    program=$work/bin/tessel
    options="-guilib $work/lib/custom.so" ;;
esac
start_xvfb 24
export DISPLAY=$XVFB_DISPLAY
cd "$work"
$runner "$program" $options draw.im >out.txt 2>err.txt &
pid=$!
wait_for_line out.txt drawn 20 || { kill $pid; cat err.txt; exit 1; }
# Background, the rectangle's corners and the pixels just outside them, the polygon's
# inside, and the arc: its sweep runs clockwise, so its upper right quarter stays empty.
"$shot" "$work/Draw-$mode.png" 0 0 200 150 5 5 FFFFFF 20 20 FF0000 79 20 FF0000 20 59 FF0000 79 59 FF0000 \
  19 20 FFFFFF 80 20 FFFFFF 20 19 FFFFFF 20 60 FFFFFF 140 40 0000FF 45 105 00FF00 65 125 00FF00 65 105 FFFFFF
shotStatus=$?
[ "$mode" = idle ] && sleep 2
keyed=$(date +%s%N)
xdotool mousemove 100 100 key a shift+b F12 q
for i in $(seq 200); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
if kill -0 $pid 2>/dev/null; then kill $pid; echo "Draw did not end on q"; cat out.txt; exit 1; fi
wait $pid
status=$?
cat err.txt
if [ "$mode" = idle ]; then
  echo "ended $(( ($(date +%s%N) - keyed) / 1000000 )) ms after the keys were sent"
  cpu=$(sed -n 's/^CPU time: \([0-9]*\) ms$/\1/p' err.txt)
  [ -n "$cpu" ] && [ "$cpu" -lt 1000 ] || { echo "CPU time '$cpu' ms: the idle wait spun"; exit 1; }
fi
diff -u "$golden" out.txt || exit 1
[ $status -eq 0 ] || { echo "exit status $status"; exit 1; }
exit $shotStatus
