#!/bin/sh
# The man page documents every report key, the extended, tree and interactor ones too, in the order phase1 prints them, carries phase1's
# version, and formats without a warning.
set -eu
binary=$1
page=$2

# The tree keys need cgroups, which are made only in the guest; the cgroup suite checks that
# they follow the extended keys in this order.
printed=$("$binary" --extended 10 -1 -1 true true | sed 's/=.*//'
  printf '%s\n' basetreetime treetime basetreepeak treepeak oomkilled cpulimited
  "$binary" --interactor=true 10 -1 -1 true true | sed 's/=.*//' | tail -3)
documented=$(sed -n 's/^\.BI \([A-Za-z_]*\)= .*/\1/p' "$page")
if [ "$printed" != "$documented" ]; then
  printf 'report keys:\n%s\nman page keys:\n%s\n' "$printed" "$documented"
  exit 1
fi

version=$("$binary" --version)
grep -q "^\.TH .* \"$version\" " "$page" || { echo "no .TH line with \"$version\""; exit 1; }

if command -v groff >/dev/null; then
  warnings=$(groff -t -man -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || { echo "$warnings"; exit 1; }
else
  echo "groff is missing: formatting not checked"
fi
