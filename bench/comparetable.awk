# The table of bench/compare: awk -F'\t' -f comparetable.awk <rows>, each row a side ("new" or "old"), the
# program, the pair's number and a "ratio:", "excess:" or "figure:" line. For every measure: the median of
# each side, and the median over the pairs that have both sides of new/old (lower is better everywhere,
# so below 1 the new tree is cheaper).
function median(list, n,    i, j, t, v) {
  for (i = 1; i <= n; i++) v[i] = list[i]
  for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
  if (n == 0) return "-"
  return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
{
  side = $1; prog = $2; pair = $3; line = $4
  kind = substr(line, 1, index(line, ":") - 1); rest = substr(line, length(kind) + 3)
  goal = "-"
  if (match(rest, / \(goal: within [0-9.e+]+\)$/)) { goal = substr(rest, RSTART + 15, RLENGTH - 16); rest = substr(rest, 1, RSTART - 1) }
  else if (match(rest, / \(information\)$/)) rest = substr(rest, 1, RSTART - 1)
  sub(/ ms$/, "", rest)
  if (!match(rest, / = -?[0-9.]+$/)) next
  value = substr(rest, RSTART + 3); label = substr(rest, 1, RSTART - 1)
  key = prog SUBSEP kind SUBSEP label
  if (!(key in seen)) { seen[key] = 1; order[++nk] = key; goals[key] = goal }
  val[key, side, pair] = value; pairs[pair] = 1
}
END {
  printf "%-22s %-6s %-70s %9s %9s %8s %6s\n", "PROGRAM", "KIND", "MEASURE", "NEW", "OLD", "NEW/OLD", "GOAL"
  for (k = 1; k <= nk; k++) {
    key = order[k]; split(key, part, SUBSEP)
    nn = no = nr = 0; delete a; delete b; delete r
    for (p in pairs) {
      hn = ((key, "new", p) in val); ho = ((key, "old", p) in val)
      if (hn) a[++nn] = val[key, "new", p]
      if (ho) b[++no] = val[key, "old", p]
      if (hn && ho && val[key, "old", p] + 0 != 0) r[++nr] = val[key, "new", p] / val[key, "old", p]
    }
    ratio = nr ? sprintf("%.3f", median(r, nr)) : "-"
    printf "%-22s %-6s %-70s %9s %9s %8s %6s\n", part[1], part[2], substr(part[3], 1, 70), median(a, nn), median(b, no), ratio, goals[key]
  }
}
