#!/bin/bash
# Ends the SnapshotKill program while it saves 64 MB generations over saves/target.im: with
# SIGKILL at a few moments of a save, then once each with SIGTERM, SIGINT, SIGQUIT, SIGUSR1
# and SIGUSR2, which must end it with their own statuses. After each end, saves/ must hold
# the target alone, and the target must load and resume as one whole generation. Where the
# file system has no unnamed files, a SIGKILL may leave the named new file, which the next
# save removes: the rounds of the other signals then find the target alone again.
# Usage: snapshotKill.sh mkimage tessel kernel-dir source work-dir
set -u
set -m       # runs in the background keep SIGINT and SIGQUIT, which a shell would ignore for them
ulimit -c 0  # SIGQUIT's default action writes no core file
mkimage=$1 tessel=$2 kernel=$3 source=$4 work=$5
rm -rf "$work" && mkdir -p "$work/saves" && cd "$work" || exit 2
"$mkimage" -o Kill.im "$kernel"/*.som "$source" --args SnapshotKill saves/target.im || exit 2
options=(-noherald -m6 200000000)
saves=$(pwd)/saves

# Waits until a generation is on disk and the run holds a file in saves/ open: a save.
# named is then 1 when that file has a name.
awaitSave() {
  local open
  for _ in $(seq 1 3000); do
    open=$(ls -l "/proc/$1/fd" 2> /dev/null | grep " $saves/")
    if [ -e saves/target.im ] && [ -n "$open" ]; then
      [[ $open =~ \(deleted\) ]] && named=0 || named=1
      return 0
    fi
    kill -0 "$1" 2> /dev/null || return 1
    sleep 0.01
  done
  return 1
}

# end signal status: one run ended by the signal some moment into a save.
end() {
  "$tessel" "${options[@]}" Kill.im > run.out 2>&1 &
  local pid=$!
  if ! awaitSave $pid; then
    echo "$1: no save to end: $(cat run.out)"
    exit 1
  fi
  sleep "0.$((RANDOM % 3))$((RANDOM % 10))"
  kill "-$1" $pid
  wait $pid
  local status=$?
  if [ $status -ne "$2" ]; then
    echo "$1: status $status, expected $2: $(cat run.out)"
    exit 1
  fi
  local left
  left=$(ls -A saves)
  if [ "$1" = KILL ] && [ $named = 1 ]; then
    left=$(ls -A saves | grep -v -x 'target\.im\.saving-[A-Za-z0-9]\{6\}')
  fi
  if [ "$left" != target.im ]; then
    echo "$1: saves/ holds" $left
    exit 1
  fi
  local out
  out=$("$tessel" "${options[@]}" saves/target.im 2>&1)
  status=$?
  if [ $status -ne 0 ] || ! [[ $out =~ ^whole\ [0-9]+$ ]]; then
    echo "$1: the target did not resume whole (status $status): $out"
    exit 1
  fi
  echo "$1: $out"
}

for _ in 1 2 3 4 5; do end KILL 137; done
end TERM 143
end INT 130
end QUIT 131
end USR1 138
end USR2 140
