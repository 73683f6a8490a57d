#!/bin/bash
# A bounded torture campaign for CI: a few dozen small pools under drawn faults and power cuts must keep
# every invariant. The seed changes only when the campaign itself changes, so a failure replays.
set -u
sim="$1"
runs="${2:-24}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
if "$sim" torture "$work/runs" --runs "$runs" --seed 20261207 --jobs 2; then
  exit 0
fi
echo "torture campaign failed; the failing runs were kept in $work/runs and are removed now" >&2
exit 1
