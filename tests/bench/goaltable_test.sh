#!/usr/bin/env bash
# The goal table over rows as the benchmark programs print them: all goals met exits 0; a goal over its
# figure, a benchmark that errored, a program that failed, or a goal no program reported each exit 1,
# and the table names the goal or the failure with "no figure".
set -u
table="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
check() {  # name, expected exit, expected text ("" : none), rows file
  local out status
  out="$(awk -F'\t' -f "$table" "$dir/goals" "$4")"
  status=$?
  if [ "$status" -ne "$2" ]; then echo "FAIL $1: exit $status, expected $2"; echo "$out"; failures=$((failures + 1)); fi
  if [ -n "$3" ] && ! grep -qF -- "$3" <<<"$out"; then
    echo "FAIL $1: no line with [$3]"; echo "$out"; failures=$((failures + 1))
  fi
}
printf '# goals\nbench_a\t^first / raw$\nbench_b\t^[0-9]+ sessions, p99 of a browse$\n' >"$dir/goals"
met=$'bench_a\tratio: first / raw = 1.20 (goal: within 1.5)\nbench_b\tfigure: 64 sessions, p99 of a browse = 20.000 ms (goal: within 25)\nbench_b\tfigure: 64 sessions, p50 of a browse = 9.000 ms (information)'
printf '%s\n' "$met" >"$dir/met"
check "every goal met" 0 "verdict: 2 goals met, 0 missed or without a figure, 1 rows information only" "$dir/met"

printf '%s\n' "${met/20.000/30.000}" >"$dir/over"
check "a figure over its goal" 1 "MISSED" "$dir/over"

printf 'bench_a\tratio: first / raw = 1.20 (goal: within 1.5)\nbench_b\tfailed: BM_Load/iterations:1/real_time\n' >"$dir/errored"
check "an errored benchmark" 1 "BM_Load/iterations:1/real_time" "$dir/errored"
check "the errored benchmark's goal" 1 "N sessions, p99 of a browse" "$dir/errored"

printf '%s\nbench_c\tfailed: exit status 139\n' "$met" >"$dir/crashed"
check "a failed program" 1 "exit status 139" "$dir/crashed"

printf 'bench_b\tfigure: 64 sessions, p99 of a browse = 20.000 ms (information)\n' >"$dir/ungoaled"
check "figures reported as information only" 1 "first / raw" "$dir/ungoaled"

: >"$dir/empty"
check "no program reported anything" 1 "verdict: 0 goals met, 2 missed or without a figure" "$dir/empty"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "goal table: all cases as expected"
