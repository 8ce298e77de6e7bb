# Text through the real program against Xvfb: the width it prints against XTextWidth, and its
# window's pixels against the same string drawn by XDrawString in a second window.
#   text.sh TESSEL MKIMAGE KERNEL_DIR TEXT_SOURCE WORK X11TEXT X11SHOT
set -u
tessel=$1 mkimage=$2 kernel=$3 source=$4 work=$5 x11text=$6 shot=$7
. "$(dirname "$0")/xvfb.sh"
require_x11_tools xdotool
rm -rf "$work" && mkdir -p "$work"
"$mkimage" -o "$work/text.im" "$kernel"/*.som "$source" --args Text || exit 1
start_xvfb 24
export DISPLAY=$XVFB_DISPLAY
cd "$work"
"$tessel" text.im >out.txt 2>err.txt &
pid=$!
wait_for_line out.txt drawn 20 || { kill $pid; cat err.txt; exit 1; }
"$x11text" fixed "Hello, X" 10 30 0 0 200 60 >x11text.txt
compared=$?
cat x11text.txt
"$shot" "$work/Text.png" 0 0 420 60
xdotool mousemove 50 30 key q
for i in $(seq 200); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
if kill -0 $pid 2>/dev/null; then kill $pid; echo "Text did not end on q"; exit 1; fi
wait $pid
status=$?
cat err.txt
grep -x "$(head -1 x11text.txt)" out.txt >/dev/null || { echo "the width differs:"; cat out.txt; exit 1; }
[ $status -eq 0 ] || { echo "exit status $status"; exit 1; }
exit $compared
