# Binding the GUI library through the real program: a library that is missing (each GUI
# primitive tries again, failing with the platform error), one whose initGUI refuses (the
# refusal is final), -gui without a library (the start fails), a display name too long,
# and a display that cannot be reached (fatal).
#   binding.sh TESSEL MKIMAGE KERNEL_DIR SOURCE REFUSING_LIBRARY WORK
set -u
tessel=$1 mkimage=$2 kernel=$3 source=$4 refusing=$5 work=$6
rm -rf "$work" && mkdir -p "$work/bin" "$work/refusing"
"$mkimage" -o "$work/b.im" "$kernel"/*.som "$source" --args GuiBinding || exit 1
cp "$tessel" "$work/bin/tessel" && cp "$refusing" "$work/refusing/tesselgui.so" || exit 1
failed=0
# expect NAME STATUS OUT ERRORS COMMAND...: runs COMMAND in $work/NAME; standard output
# must be OUT, or contain it where OUT begins with ~; ERRORS counts the "couldn't open" lines.
expect() {
  local name=$1 status=$2 out=$3 errors=$4
  shift 4
  mkdir -p "$work/$name"
  (cd "$work/$name" && "$@" >out.txt 2>err.txt)
  local got=$? text
  text=$(cat "$work/$name/out.txt")
  local ok=1
  [ $got -eq "$status" ] || ok=0
  case $out in
    "~"*) grep -qF -- "${out#\~}" "$work/$name/out.txt" || ok=0 ;;
    *) [ "$text" = "$out" ] || ok=0 ;;
  esac
  [ "$(grep -c "^couldn't open tesselgui.so; " "$work/$name/err.txt")" = "$errors" ] || ok=0
  if [ $ok = 0 ]; then
    echo "case $name: status $got (expected $status)"; cat "$work/$name/out.txt" "$work/$name/err.txt"
    failed=1
  fi
}
# Each attempt reports once and fails with the platform error (entry 9: the kernel's (-10)).
expect missing 0 "first: (-10)
second: (-10)" 2 "$work/bin/tessel" ../b.im GuiBinding
# A refusing initGUI: entry 19 (-20), and no second attempt.
expect refused 0 "first: -20
second: -20" 0 sh -c "cd ../refusing && ../bin/tessel ../b.im GuiBinding"
expect gui-missing 9 "~Fatal error: failed to load GUI library" 1 "$work/bin/tessel" -gui ../b.im GuiBinding
expect long 0 "first: -4
second: -4" 0 "$tessel" ../b.im GuiBinding long
# No server on the display named: the connection is refused at once, fatally.
expect noserver 9 "~Fatal error: Unable to connect to X11 server." 0 env DISPLAY=:1099 "$tessel" ../b.im GuiBinding
exit $failed
