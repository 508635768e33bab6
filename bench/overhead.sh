#!/usr/bin/env bash
# Measures phase1's own cost beside yardsticks and prints eight lines, five ratios and three
# figures:
#   a. wall time of `phase1 10 -1 -1 true true` / a static C program doing the same two runs
#   b. mem= that phase1 reports for `true` / the minor faults of `sh -c true` spawned directly
#      and collected with wait4, the physical floor; and phase1's own share, the difference
#   c. time= for a CPU-bound shell loop of ~0.3 s / the CPU time wait4 reports for the loop
#      spawned directly
#   d. how far past a wall limit of 0.5 s phase1 ends when the measured command sleeps on
#   e. as b, with --output: the measured child then writes nothing
#   f. wall time with --cgroup / without, and g. how far past --cpu-limit=0.5 a busy loop
#      goes: both in a QEMU guest, by bench/cgroups.sh, as cgroups are never made here
#   h. the sandbox's cost per run, as root with --user and as an ordinary user, in ms
# Absolute figures mean little on a shared machine; the ratios are taken side by side.
# Usage: bench/overhead.sh              measures the default build (built here)
#        PHASE1=path bench/overhead.sh  measures that binary instead
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${ROUNDS:-99}         # a: hyperfine rounds, alternating which command goes first
RUNS=${RUNS:-10}             # a: runs of each command per round
FAULT_RUNS=${FAULT_RUNS:-30} # b: runs of each command
CPU_RUNS=${CPU_RUNS:-21}     # c: pairs of runs
WALL_RUNS=${WALL_RUNS:-10}   # d: runs
SANDBOX_ROUNDS=${SANDBOX_ROUNDS:-21} # h: hyperfine rounds
LOOP='i=0; while [ $i -lt 360000 ]; do i=$((i+1)); done'

need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
command -v cc >/dev/null || need+=(gcc)
if ((${#need[@]})); then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" </dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ -z ${PHASE1:-} ]]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target phase1 >/dev/null
  PHASE1=$PWD/build/phase1
fi
cc -O2 -static -o "$work/reference" bench/reference.c
cc -O2 -o "$work/cputime" bench/cputime.c

# Median of column $1 of standard input.
median() {
  cut -d' ' -f"$1" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# The line of standard input whose first column is the median (the lower one of an even count).
middle() { sort -g | awk '{ l[NR] = $0 } END { print l[int((NR + 1) / 2)] }'; }
report() { awk -v f="$1" -v a="$2" -v b="$3" -v c="${4:-}" -v d="${5:-}" 'BEGIN { printf f "\n", a, b, c, d }'; }

linkage=static
readelf -l "$PHASE1" | grep -q INTERP && linkage=dynamic
echo "phase1: $PHASE1 ($linkage)"
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)," \
  "Linux $(uname -r), $(date -u +%F)"

# For a and c, each line of the file holds one pair taken back to back: ratio, phase1,
# yardstick. The pair with the median ratio is reported, so that drift in the machine's load
# cancels out.

# Times the commands $2 and $3 in $1 rounds of hyperfine, which goes first swapped each round,
# and prints a line a round: the mean wall ms of $2, then of $3.
alternate() {
  local r order
  for ((r = 0; r < $1; r++)); do
    if ((r % 2)); then order=("$3" "$2"); else order=("$2" "$3"); fi
    hyperfine -N --style none --warmup 2 --runs "$RUNS" --export-csv "$work/round.csv" \
      "${order[@]}" >/dev/null 2>&1
    awk -F, -v first="$2" 'NR > 1 { m[$1 != first] = $4 * 1000 } END { print m[0], m[1] }' \
      "$work/round.csv"
  done
}

ref="$work/reference 10 -1 -1 true true"
p1="$PHASE1 10 -1 -1 true true"
alternate "$ROUNDS" "$ref" "$p1" | awk '{ print $2 / $1, $2, $1 }' >"$work/a"
read -r ratio mine theirs < <(middle <"$work/a")
report "a. overhead           %.3f (target <= 1.05)  wall ms: phase1 %.2f / reference %.2f, median of $ROUNDS rounds of $RUNS runs each" \
  "$ratio" "$mine" "$theirs"

for ((i = 0; i < FAULT_RUNS; i++)); do
  m=$($PHASE1 10 -1 -1 true true | sed -n 's/^mem=//p')
  t=$("$work/cputime" true | cut -d' ' -f2)
  $PHASE1 --output="$work/report" 10 -1 -1 true true
  o=$(sed -n 's/^mem=//p' "$work/report")
  echo "$((m)) $((t)) $((o))"
done >"$work/b"
b1=$(median 1 <"$work/b")
b2=$(median 2 <"$work/b")
report "b. measurement floor  %.3f (target <= 1.25)  minor faults: phase1 mem= %s / floor %s, phase1's share %s, medians of $FAULT_RUNS runs each" \
  "$(awk -v a="$b1" -v b="$b2" 'BEGIN { print a / b }')" "$b1" "$b2" "$(awk -v a="$b1" -v b="$b2" 'BEGIN { print a - b }')"

for ((i = 0; i < CPU_RUNS; i++)); do
  p=$($PHASE1 10 -1 -1 true "$LOOP" | sed -n 's/^time=//p')
  d=$("$work/cputime" "$LOOP" | cut -d' ' -f1)
  awk -v p="$p" -v d="$d" 'BEGIN { print p / d, p, d }'
done >"$work/c"
read -r ratio mine theirs < <(middle <"$work/c")
report "c. accuracy           %.3f (target 0.95-1.05)  CPU s: phase1 time= %s / wait4 %s, median of $CPU_RUNS pairs" \
  "$ratio" "$mine" "$theirs"

hyperfine -N --style none --runs "$WALL_RUNS" --export-csv "$work/d.csv" \
  "$PHASE1 --wall-limit=0.5 10 -1 -1 true 'sleep 10'" >/dev/null 2>&1
report "d. wall-limit overshoot %.1f ms (target <= 20)  wall s: phase1 %.4f / limit %s, median of $WALL_RUNS runs" \
  "$(awk -F, 'NR == 2 { print ($4 - 0.5) * 1000 }' "$work/d.csv")" \
  "$(awk -F, 'NR == 2 { print $4 }' "$work/d.csv")" 0.5

e1=$(median 3 <"$work/b")
report "e. floor, --output    %.3f (target <= b)     minor faults: phase1 mem= %s / floor %s, phase1's share %s, medians of $FAULT_RUNS runs each" \
  "$(awk -v a="$e1" -v b="$b2" 'BEGIN { print a / b }')" "$e1" "$b2" "$(awk -v a="$e1" -v b="$b2" 'BEGIN { print a - b }')"

# h: the sandbox's cost per run, as root with --user and as an ordinary user: the wall time
# with --sandbox less that without, over two runs, in alternating rounds.
box="$work/box"
mkdir -p "$box" && chmod 777 "$box" "$work"
as_nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
for mode in root rootless; do
  if [[ $mode == root ]]; then
    plain="$PHASE1 --user=nobody 1 -1 -1 true true"
    boxed="$PHASE1 --user=nobody --sandbox=$box 1 -1 -1 true true"
  else
    plain="$as_nobody $PHASE1 1 -1 -1 true true"
    boxed="$as_nobody $PHASE1 --sandbox=$box 1 -1 -1 true true"
  fi
  alternate "$SANDBOX_ROUNDS" "$plain" "$boxed" | awk '{ print ($2 - $1) / 2 }' >"$work/h.$mode"
done
report "h. sandbox cost       %.2f ms per run as root, %.2f as a user (target <= 1.5)  (wall with --sandbox - without) / 2, median of $SANDBOX_ROUNDS rounds of $RUNS runs each" \
  "$(median 1 <"$work/h.root")" "$(median 1 <"$work/h.rootless")"

bench/cgroups.sh "$PHASE1" | grep -E '^[fg]\. '
