#!/bin/sh
# Many runs at once, as a grader runs them: 200 phase1 runs with GNU parallel, eight at a time
# on however few cores, of five kinds. Every report must be whole, every verdict the expected
# one, and nothing may be left running. It checks correctness under load, not speed: it prints
# its wall time and asserts none.
#   Usage: load.sh PHASE1
set -u
phase1=$1
missing=77
[ "${CI:-}" = true ] && missing=1
command -v parallel >/dev/null || { echo "needs GNU parallel (Debian's parallel)"; exit $missing; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
marker="30.$$" # in the sleeps' arguments, so that survivors can be found

# Run N: its kind is N mod 5. Writes its report to $work/N. The busy loop's wall limit is far
# beyond its CPU cap of 1 s, so that however loaded the machine, the CPU cap ends it first.
cat >"$work/run" <<EOF
#!/bin/sh
n=\$1 limit=--wall-limit=5 files=
case \$((n % 5)) in
0) command='exit 0' ;;
1) command='while :; do :; done' limit=--wall-limit=120 ;;
2) command='kill -SEGV \$\$' ;;
3) command='exec head -c 5000 /dev/zero' files=--stdout="$work/out.\$n" ;;
4) command='exec sleep $marker' limit=--wall-limit=1 ;;
esac
exec "$phase1" --output="$work/\$n" --extended \$limit \$files 1 -1 1000 true "\$command"
EOF
chmod +x "$work/run"

start=$(date +%s.%N)
seq 0 199 | parallel --will-cite -j 8 "$work/run" {}
echo "200 runs, 8 at a time on $(nproc) cores: $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s"

# The verdict each kind must show, as the report's key=value pairs.
expected() {
  case $(($1 % 5)) in
  0) echo "ended=exit WEXITSTATUS=0" ;;
  1) echo "ended=cpu-cap" ;;
  2) echo "ended=signal WTERMSIG=11" ;;
  3) echo "ended=file-size-cap outbytes=1000" ;;
  4) echo "ended=wall-limit" ;;
  esac
}
failed=0
for n in $(seq 0 199); do
  lines=$(wc -l <"$work/$n" 2>/dev/null || echo 0)
  [ "$lines" -eq 25 ] || { echo "run $n: $lines lines, not 25"; failed=1; continue; }
  for pair in $(expected "$n") basestatus=0; do
    grep -qx "$pair" "$work/$n" || { echo "run $n: no $pair"; cat "$work/$n"; failed=1; }
  done
done
survivors=$(pgrep -f "sleep $marker")
[ -z "$survivors" ] || { echo "left running: $survivors"; failed=1; }
[ $failed -eq 0 ] && echo "every report whole, every verdict as expected, nothing left running"
exit $failed
