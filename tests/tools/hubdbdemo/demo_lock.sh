#!/usr/bin/env bash
# A demo world in use (its lock held, as ./dev run --serve holds it) is neither deleted nor rebuilt by a
# second run, which says why it stops.
# Run as: demo_lock.sh <tools/run-demo.sh>
set -euo pipefail
script="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/demo"
echo served >"$dir/demo/marker"
rc=0
out="$(flock "$dir/demo.lock" "$script" "$dir" 2>&1)" || rc=$?
if [ "$rc" -eq 0 ]; then
  echo "the second run went ahead: $out"
  exit 1
fi
if ! grep -q "is in use by another ./dev run" <<<"$out"; then
  echo "the refusal does not say why: $out"
  exit 1
fi
if [ ! -f "$dir/demo/marker" ]; then
  echo "the served world was deleted"
  exit 1
fi
