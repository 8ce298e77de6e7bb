#!/bin/bash
# Kills the SnapshotKill program with SIGKILL at 20 random moments while it saves 64 MB
# generations over one file; after each kill the file, when there is one, must load and
# resume as one whole generation.
# Usage: snapshotKill.sh mkimage tessel kernel-dir source work-dir
set -u
mkimage=$1 tessel=$2 kernel=$3 source=$4 work=$5
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 2
"$mkimage" -o Kill.im "$kernel"/*.som "$source" --args SnapshotKill target.im || exit 2
options=(-noherald -m6 200000000)
for round in $(seq 1 20); do
  "$tessel" "${options[@]}" Kill.im > "run$round.out" 2>&1 &
  pid=$!
  sleep "$((RANDOM % 20 / 10)).$((RANDOM % 10))$((RANDOM % 10))"
  kill -KILL "$pid" 2> /dev/null
  wait "$pid" 2> /dev/null
  [ -e target.im ] || continue
  out=$("$tessel" "${options[@]}" target.im 2>&1)
  status=$?
  if [ $status -ne 0 ] || ! [[ $out =~ ^whole\ [0-9]+$ ]]; then
    echo "round $round: the target did not resume whole (status $status): $out"
    exit 1
  fi
  echo "round $round: $out"
done
