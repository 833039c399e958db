# The table of bench/compare: awk -F'\t' -f comparetable.awk <rows>, each row a side ("new" or "old"), the
# program, the pair's number and a "ratio:", "excess:" or "figure:" line; a side's value in a pair is the
# mean of its rows there (a pair runs each side more than once). Lower is better everywhere, so a new/old
# below 1 means the new tree is faster. Times are a latency's measure only: what a change costs is
# settled in instructions (bench/compare <commit> --instructions). First every pair's values of every measure, then for
# each measure: the median of each side, the spread of new/old over the pairs that have both sides
# (min, median, max), how many of those pairs are below 1, and the verdict: "faster" only when new/old
# is below 1 in the median and in most pairs, "slower" when it is above 1 in both, else "unsettled".
# Values are numbers: "946.9" is below "1200.0" even though it sorts after it as text.
function median(list, n,    i, j, t, v) {
  if (n == 0) return "-"
  for (i = 1; i <= n; i++) v[i] = list[i] + 0
  for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
  return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
function number(x) { return x == "-" ? "-" : sprintf("%.6g", x) }
{
  side = $1; prog = $2; pair = $3 + 0; line = $4
  kind = substr(line, 1, index(line, ":") - 1); rest = substr(line, length(kind) + 3)
  goal = "-"
  if (match(rest, / \(goal: within [0-9.e+]+\)$/)) { goal = substr(rest, RSTART + 15, RLENGTH - 16); rest = substr(rest, 1, RSTART - 1) }
  else if (match(rest, / \(information\)$/)) rest = substr(rest, 1, RSTART - 1)
  sub(/ ms$/, "", rest)
  if (!match(rest, / = -?[0-9.]+(e[-+]?[0-9]+)?$/)) next
  value = substr(rest, RSTART + 3) + 0; label = substr(rest, 1, RSTART - 1)
  key = prog SUBSEP kind SUBSEP label
  if (!(key in seen)) { seen[key] = 1; order[++nk] = key; goals[key] = goal }
  sum[key, side, pair] += value; runs[key, side, pair]++
  if (!(pair in pairs)) { pairs[pair] = 1; pairList[++np] = pair }
}
END {
  for (k in runs) val[k] = sum[k] / runs[k]
  for (i = 2; i <= np; i++) for (j = i; j > 1 && pairList[j - 1] > pairList[j]; j--) { t = pairList[j]; pairList[j] = pairList[j - 1]; pairList[j - 1] = t }
  print "== every pair (new, old, new/old)"
  for (k = 1; k <= nk; k++) {
    key = order[k]; split(key, part, SUBSEP)
    printf "%s %s %s\n", part[1], part[2], part[3]
    for (i = 1; i <= np; i++) {
      p = pairList[i]; hn = ((key, "new", p) in val); ho = ((key, "old", p) in val)
      if (!hn && !ho) continue
      q = hn && ho && val[key, "old", p] != 0 ? sprintf("%.3f", val[key, "new", p] / val[key, "old", p]) : "-"
      printf "  pair %-3d new %-12s old %-12s new/old %s\n", p, hn ? number(val[key, "new", p]) : "-", ho ? number(val[key, "old", p]) : "-", q
    }
  }
  print ""
  printf "%-22s %-6s %-60s %9s %9s %23s %6s %-9s %6s\n", "PROGRAM", "KIND", "MEASURE", "NEW", "OLD", "NEW/OLD MIN MEDIAN MAX", "BELOW1", "VERDICT", "GOAL"
  for (k = 1; k <= nk; k++) {
    key = order[k]; split(key, part, SUBSEP)
    nn = no = nr = below = above = 0; delete a; delete b; delete r
    lo = hi = ""
    for (i = 1; i <= np; i++) {
      p = pairList[i]; hn = ((key, "new", p) in val); ho = ((key, "old", p) in val)
      if (hn) a[++nn] = val[key, "new", p]
      if (ho) b[++no] = val[key, "old", p]
      if (hn && ho && val[key, "old", p] != 0) {
        q = val[key, "new", p] / val[key, "old", p]; r[++nr] = q
        if (q < 1) below++; else if (q > 1) above++
        if (lo == "" || q < lo) lo = q
        if (hi == "" || q > hi) hi = q
      }
    }
    if (nr) {
      m = median(r, nr)
      spread = sprintf("%.3f %.3f %.3f", lo, m, hi)
      verdict = m < 1 && 2 * below > nr ? "faster" : m > 1 && 2 * above > nr ? "slower" : "unsettled"
      counted = below "/" nr
    } else { spread = "-"; verdict = "no pairs"; counted = "-" }
    printf "%-22s %-6s %-60s %9s %9s %23s %6s %-9s %6s\n", part[1], part[2], substr(part[3], 1, 60), number(median(a, nn)), number(median(b, no)), spread, counted, verdict, goals[key]
  }
}
