# The start-up herald through the real program: a picture file beside the program shows a
# window named by the herald text in the picture's colours until the image shows a window;
# -noherald shows none; a bad picture file says why and the engine goes on; without a
# display nothing is said.
#   herald.sh TESSEL GUILIB MKIMAGE KERNEL_DIR HERALD_SOURCE WORK X11SHOT
set -u
tessel=$1 guilib=$2 mkimage=$3 kernel=$4 source=$5 work=$6 shot=$7
here=$(dirname "$0")
. "$here/xvfb.sh"
require_x11_tools xwininfo
rm -rf "$work" && mkdir -p "$work/bin"
"$mkimage" -o "$work/herald.im" "$kernel"/*.som "$source" --args Herald || exit 1
cp "$tessel" "$work/bin/tessel" && cp "$guilib" "$work/bin/" || exit 1
for kind in good depth8 nomono; do bash "$here/heraldgen.sh" $kind "$work/$kind.so" || exit 1; done
start_xvfb 24
export DISPLAY=$XVFB_DISPLAY
cd "$work"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# run KIND OPTIONS...: the program started with that picture file beside it; waits for up.
run() {
  local kind=$1; shift
  rm -f go end bin/herald.so out.txt err.txt
  [ "$kind" = none ] || cp "$kind.so" bin/herald.so
  bin/tessel "$@" herald.im >out.txt 2>err.txt &
  pid=$!
  wait_for_line out.txt up 20 || { kill $pid; cat err.txt; exit 1; }
}
finish() {
  touch go end
  for i in $(seq 200); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
  kill -0 $pid 2>/dev/null && { kill $pid; fail "$1: did not end"; }
  wait $pid || fail "$1: exit status $?"
}
# The herald: a window named by the engine's version (the image has no herald text), of
# the picture's size.
heraldWindow() { xwininfo -root -tree | grep -E '^ *0x[0-9a-f]+ "tessel [^"]*": \(\) *32x16\+' ; }

run good -gui
heraldWindow >tree.txt || fail "no herald window"
cat tree.txt
# 32 x 16 centred on 640 x 480: stripes red, green, blue, white from x 304.
"$shot" Herald.png 304 232 32 16 0 0 FF0000 7 15 FF0000 8 0 00FF00 16 8 0000FF 31 15 FFFFFF || fail "herald pixels"
touch go
wait_for_line out.txt shown 20 || fail "no window shown"
heraldWindow && fail "the herald stayed after the first window"
finish good
[ -s err.txt ] && { cat err.txt; fail "good: said something"; }

run good -gui -noherald
sleep 0.3
heraldWindow && fail "-noherald showed a window"
finish noherald

for kind in depth8 nomono; do
  run $kind -gui
  touch go
  wait_for_line out.txt shown 20 || fail "$kind: the engine did not go on"
  finish $kind
  cat err.txt
done
run depth8 -gui; finish depth8
grep -qx 'bad splash depth 8 ~= 4 or oversize palette 4 > 16 or line pad 32 ~= 32' err.txt || fail "depth8 message"
run nomono -gui; finish nomono
grep -q '^no splash_mono_bits in herald.so; ' err.txt || fail "nomono message"

touch quiet
unset DISPLAY
run good -gui
finish nodisplay
[ -s err.txt ] && { cat err.txt; fail "without a display: said something"; }
exit $failed
