# The goal table of ./dev bench: awk -F'\t' -f goaltable.awk <goals> <rows>. <goals> lists each goal a
# program must report (program, tab, a pattern of its pair's label); <rows> holds each program's lines
# (program, tab, line): "ratio:", "excess:", "figure:" and "spread:" lines, and "failed:" lines for a
# benchmark that errored or a program that failed. Prints the table and exits 1 when a goal is missed or
# has no figure. -v programs="a b": only the goals of those programs (the ones that ran) are awaited.
BEGIN { np = split(programs, ran, " "); for (i = 1; i <= np; i++) running[ran[i]] = 1
        printf "%-24s %-7s %-68s %9s %8s  %s\n", "PROGRAM", "KIND", "PAIR", "VALUE", "GOAL", "VERDICT" }
# bench/goals: each goal a program must report (program, then a pattern of its pair).
FNR == NR { if ($0 !~ /^#/ && NF >= 2 && (np == 0 || ($1 in running))) { ng++; gprog[ng] = $1; gpair[ng] = $2 }; next }
{
  prog = $1; line = $2
  kind = substr(line, 1, index(line, ":") - 1); rest = substr(line, length(kind) + 3)
  if (kind == "failed") {
    missed++; printf "%-24s %-7s %-68s %9s %8s  %s\n", prog, "failed", rest, "-", "-", "no figure"; next
  }
  if (kind == "spread") { sub(/ \(min\/median\/max over repetitions\)$/, "", rest); spreads[++ns] = sprintf("%-24s %s", prog, rest); next }
  goal = "-"; verdict = "information"
  if (match(rest, / \(goal: within [0-9.e+]+\)$/)) {
    goal = substr(rest, RSTART + 15, RLENGTH - 16); rest = substr(rest, 1, RSTART - 1)
  } else if (match(rest, / \(information\)$/)) {
    rest = substr(rest, 1, RSTART - 1)
  }
  sub(/ ms$/, "", rest)
  match(rest, / = -?[0-9.]+$/); value = substr(rest, RSTART + 3); label = substr(rest, 1, RSTART - 1)
  if (goal != "-") {
    verdict = (value + 0 <= goal + 0) ? "met" : "MISSED"
    for (g = 1; g <= ng; g++) if (gprog[g] == prog && label ~ gpair[g]) seen[g] = 1
  }
  if (verdict == "met") met++; else if (verdict == "MISSED") missed++; else info++
  printf "%-24s %-7s %-68s %9s %8s  %s\n", prog, kind, label, value, goal, verdict
}
END {
  for (g = 1; g <= ng; g++) if (!seen[g]) {
    shown = gpair[g]; gsub(/\\/, "", shown); gsub(/^\^|\$$/, "", shown); gsub(/\(\/\[a-z_\]\+\)\*/, "", shown)
    gsub(/\[0-9\]\+/, "N", shown)
    missed++; printf "%-24s %-7s %-68s %9s %8s  %s\n", gprog[g], "goal", shown, "-", "-", "no figure"
  }
  if (ns > 0) {
    print ""; print "latency pairs, min/median/max in ms over repetitions (ours / raw):"
    for (i = 1; i <= ns; i++) print "  " spreads[i]
  }
  print ""
  printf "verdict: %d goals met, %d missed or without a figure, %d rows information only (lower is better)\n", met, missed, info
  exit missed > 0 ? 1 : 0
}
