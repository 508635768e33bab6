#!/usr/bin/env bash
# Measures what cgroups cost, in the QEMU guest of tests/guest/run.sh (cgroups are never made
# on this machine), and prints:
#   f. wall time of `phase1 --cgroup=DIR 10 -1 -1 true true` / `phase1 10 -1 -1 true true`
#   g. how far past --cpu-limit=0.5 a busy loop's treetime= goes (median of 10 runs)
# The guest emulates its CPU, so its absolute times are some hundred times this machine's;
# the ratio is what carries over.
# Usage: bench/cgroups.sh PHASE1     (called by bench/overhead.sh)
set -euo pipefail
ROUNDS=${ROUNDS:-9} # f: rounds, alternating which command goes first
RUNS=${RUNS:-5}     # f: runs of each command per round
LIMIT_RUNS=10       # g

if [[ ${1:-} != --in-guest ]]; then
  phase1=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  work=$(dirname "$phase1")
  mkdir -p "$work/guest"
  cp "$0" "$work/guest/bench-cgroups.sh"
  exec sh "$(dirname "$0")/../tests/guest/run.sh" "$work" \
    env ROUNDS="$ROUNDS" RUNS="$RUNS" bash "$work/guest/bench-cgroups.sh" --in-guest "$phase1"
fi
phase1=$2
dir=/sys/fs/cgroup/phase1-bench
mkdir -p "$dir"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Milliseconds that $RUNS runs of phase1 with these options take, each.
per_run() {
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < RUNS; i++)); do "$phase1" "$@" 10 -1 -1 true true >/dev/null; done
  end=$(date +%s%N)
  echo $(((end - start) / RUNS / 1000))
}

for ((r = 0; r < ROUNDS; r++)); do
  if ((r % 2)); then
    c=$(per_run --cgroup="$dir")
    p=$(per_run)
  else
    p=$(per_run)
    c=$(per_run --cgroup="$dir")
  fi
  awk -v c="$c" -v p="$p" 'BEGIN { print c / p, c / 1000, p / 1000 }'
done | sort -g >/tmp/f
read -r ratio mine plain < <(awk '{ l[NR] = $0 } END { print l[int((NR + 1) / 2)] }' /tmp/f)
printf 'f. cgroup overhead    %.3f (target <= 1.2)   wall ms in the guest: --cgroup %.1f / plain %.1f, median of %s rounds of %s runs each\n' \
  "$ratio" "$mine" "$plain" "$ROUNDS" "$RUNS"

for ((i = 0; i < LIMIT_RUNS; i++)); do
  "$phase1" --cgroup="$dir" --cpu-limit=0.5 10 -1 -1 true 'while :; do :; done' |
    sed -n 's/^treetime=//p'
done >/tmp/g
over=$(median </tmp/g)
printf 'g. CPU-limit overshoot %.1f ms (target <= 10) treetime= %s for --cpu-limit=0.5, median of %s runs\n' \
  "$(awk -v t="$over" 'BEGIN { print (t - 0.5) * 1000 }')" "$over" "$LIMIT_RUNS"
rmdir "$dir"
