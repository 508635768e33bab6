#!/bin/sh
# memcheck over a few whole runs of phase1: every process it forks is checked too, until that
# process execs the shell. Usage: memcheck.sh PHASE1
set -u
command -v valgrind >/dev/null || { echo "needs valgrind"; exit 77; }
phase1=$1
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed=0

# expected exit status, standard output, then phase1's arguments
run() {
  want=$1 out=$2
  shift 2
  valgrind -q --log-file="$logs/%p" --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect "$phase1" "$@" >"$out" 2>/dev/null </dev/null
  got=$?
  # valgrind 3.19 does not know pidfd_open, and says so; phase1 then looks at its child every
  # 10 ms instead.
  found=$(cat "$logs"/* 2>/dev/null | sed '/unhandled amd64-linux syscall: 434$/,/bug_reports\.html$/d')
  if [ "$got" -ne "$want" ] || [ -n "$found" ]; then
    echo "FAIL (exit $got, wanted $want): phase1 $*"
    echo "$found"
    failed=1
  fi
  rm -f "$logs"/*
}

run 0 /dev/null 10 -1 -1 'echo base' 'echo meas'
run 0 /dev/null 10 -1 -1 true 'exit 3'
run 0 /dev/null 10 -1 -1 true 'kill -9 $$'
run 0 /dev/null 1 -1 -1 true 'while :; do :; done'
run 0 /dev/null --wall-limit=30 10 -1 -1 true 'sleep 5 & exit 3'
run 0 /dev/null --wall-limit=0.5 10 -1 -1 true 'sleep 5'
run 125 /dev/full 10 -1 -1 true true
run 125 /dev/null 10 x -1 true true
run 125 /dev/null 10 -1 -1 true
exit $failed
