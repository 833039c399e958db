#!/usr/bin/env bash
# The table of bench/compare over rows as bench/compare keeps them (side, program, pair, line): medians are
# of numbers, every pair is shown, each measure has the spread of new/old, and "faster" is claimed only
# where new/old is below 1 in the median and in most pairs.
set -u
table="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
expect() {  # name, the measure's label, a extended regular expression its summary line must match
  local line
  line="$(grep -F -- "$2 " "$dir/out" | grep -v '^  pair' | tail -n 1)"
  if ! grep -Eq -- "$3" <<<"$line"; then
    echo "FAIL $1: [$line] does not match [$3]"; failures=$((failures + 1))
  fi
}
row() {  # side, pair, label, value
  printf '%s\tbench_x\t%s\tfigure: %s = %s ms (information)\n' "$1" "$2" "$3" "$4" >>"$dir/rows"
}
: >"$dir/rows"
# Values that differ in their count of integer digits: as text 4317.8 would be the middle one.
row new 1 "digits" 946.9; row old 1 "digits" 1000.0
row new 2 "digits" 4317.8; row old 2 "digits" 4000.0
row new 3 "digits" 1200.0; row old 3 "digits" 1300.0
# Below 1 in the median (0.85) but in only half of the pairs: no claim.
for p in 1 2 3 4; do row old "$p" "half" 10; done
row new 1 "half" 5; row new 2 "half" 6; row new 3 "half" 11; row new 4 "half" 12
# Below 1 in every pair.
for p in 1 2 3; do row old "$p" "always" 10; row new "$p" "always" 9; done
# Above 1 in every pair, with a sign among the values (an excess may be negative).
row old 1 "sign" -2; row new 1 "sign" -1
row old 2 "sign" 2; row new 2 "sign" 3
row old 3 "sign" 4; row new 3 "sign" 5
# Each side run twice per pair in mirrored order (new old old new, old new new old), each run dearer than
# the one before by a tenth of old's first and new truly 0.97 of old: the last run of each side alone
# would say new/old 1.051 and 0.895 by turns; the mean of a side's two runs says 0.97 in every pair.
for p in 1 3; do
  row new "$p" "mirrored" 9.7; row old "$p" "mirrored" 11; row old "$p" "mirrored" 12; row new "$p" "mirrored" 12.61
done
for p in 2 4; do
  row old "$p" "mirrored" 10; row new "$p" "mirrored" 10.67; row new "$p" "mirrored" 11.64; row old "$p" "mirrored" 13
done
# A measure only one side reported.
row new 1 "lonely" 3
printf 'new\tbench_x\t1\tratio: a / raw = 1.50 (goal: within 2)\nold\tbench_x\t1\tratio: a / raw = 3.00 (goal: within 2)\n' >>"$dir/rows"

awk -F'\t' -f "$table" "$dir/rows" >"$dir/out"
status=$?
if [ "$status" -ne 0 ]; then echo "FAIL the table exits $status"; failures=$((failures + 1)); fi
expect "medians of numbers" "digits" ' 1200 +1300 +0\.923 0\.947 1\.079 +2/3 +faster'
expect "a median below 1 in only half the pairs" "half" ' 8\.5 +10 +0\.500 0\.850 1\.200 +2/4 +unsettled'
expect "below 1 in every pair" "always" ' 9 +10 +0\.900 0\.900 0\.900 +3/3 +faster'
expect "negative values" "sign" ' 3 +2 +0\.500 1\.250 1\.500 +1/3 +slower'
expect "the mean of a side's runs in a pair" "mirrored" ' 11\.155 +11\.5 +0\.970 0\.970 0\.970 +4/4 +faster'
expect "one side only" "lonely" ' 3 +- +- +- +no pairs'
expect "a ratio keeps its goal" "a / raw" ' 1\.5 +3 +0\.500 0\.500 0\.500 +1/1 +faster +2$'
# Every pair of every measure is shown, in pair order.
pairs="$(grep -A4 -F 'bench_x figure half' "$dir/out" | grep -c '^  pair')"
if [ "$pairs" -ne 4 ]; then echo "FAIL every pair shown: $pairs pair lines of half"; failures=$((failures + 1)); fi
if ! grep -A4 -F 'bench_x figure half' "$dir/out" | sed -n 4p | grep -Eq 'pair 3 +new 11 +old 10 +new/old 1\.100'; then
  echo "FAIL the third pair of half"; failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then cat "$dir/out"; exit 1; fi
echo "compare table: all cases as expected"
