#!/bin/sh
# The Windows call-out's timings under the emulator: builds the WinCallBench image with the
# Windows build's mkimage and runs it through tessel.exe with calltest.dll on the emulator's
# path. Usage: bench/winCallBench.sh [build directory, default build/win] [calls, default 200000]
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/win}" && pwd)
n=${2:-200000}
work=$build/bench-wincall
mkdir -p "$work"
cd "$work"
wine "$build/tools/mkimage/mkimage.exe" -o WinCallBench.im "$top"/tools/mkimage/kernel/*.som \
  "$top/bench/WinCallBench.som" --args WinCallBench 2>/dev/null
WINEPATH="$build/tests" wine "$build/tessel.exe" -noherald WinCallBench.im WinCallBench "$n" 2>/dev/null
