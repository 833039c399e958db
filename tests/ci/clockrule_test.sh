#!/usr/bin/env bash
# .ci/bare-codes over a tree of one file each: every spelling of a direct read of the clock in product
# code is refused (the real clock through a local reference or pointer, built on the spot, or put in for
# a null one, as well as a plain read), and what the rule lets through is let through (the real clock as
# a parameter's or a member's default, a read in a program's main, a stamp within its file's count).
set -u
rule="$1"
list="$2"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
check() {  # name, expected exit, file (path in the tree), its text
  local tree="$dir/tree" out status
  rm -rf "$tree"
  mkdir -p "$tree/.ci" "$tree/bench" "$tree/cmake"
  for d in appbrowse worker service planning indexing platform tools framework fbDebug Db; do mkdir -p "$tree/$d"; done
  cp "$rule" "$tree/.ci/bare-codes"
  cp "$list" "$tree/cmake/clockreads.list"
  mkdir -p "$(dirname "$tree/$3")"
  printf '%s\n' "$4" >"$tree/$3"
  out="$(bash "$tree/.ci/bare-codes" 2>&1)"
  status=$?
  if [ "$status" -ne "$2" ]; then
    echo "FAIL $1: exit $status, expected $2"; echo "$out"; failures=$((failures + 1))
  elif [ "$2" -ne 0 ] && ! grep -qF "$3 reads the clock directly" <<<"$out"; then
    echo "FAIL $1: the refusal does not name $3"; echo "$out"; failures=$((failures + 1))
  fi
}

# Refused: each spelling of a direct read.
check "a local reference to the real clock" 1 service/limit.cpp \
  $'void wait() {\n    const CHubClock& clock = CHubClock::real();\n    auto t = clock.steadyNow();\n}'
check "a local pointer to the real clock" 1 service/limit.cpp \
  $'void wait() {\n    const CHubClock* clock = &CHubClock::real();\n    auto t = clock->steadyNow();\n}'
check "the real clock built on the spot" 1 worker/limit.cpp \
  $'auto deadline() { return CHubRealClock().steadyNow() + std::chrono::seconds(5); }'
check "a real clock of its own" 1 tools/limit.cpp $'void wait() {\n    CHubRealClock clock;\n    (void)clock;\n}'
check "the real clock for a null one" 1 service/limit.h \
  $'class C {\n    void setClock(const CHubClock* c) { m_clock = c ? c : &CHubClock::real(); }\n    const CHubClock* m_clock = nullptr;\n};'
check "a plain read" 1 planning/limit.cpp $'bool expired(long long at) { return at <= CHubClock::real().epochSeconds(); }'
check "the system's own clocks" 1 platform/limit.cpp \
  $'auto a = std::chrono::steady_clock::now();\nauto b = time(nullptr);'

# Let through: the real clock given as a default, reads at the top, stamps within their count.
check "a parameter's default" 0 platform/component.h \
  $'class C {\npublic:\n    explicit C(const CHubClock& clock = CHubClock::real());\n    void f(int a, const CHubClock& clock = CHubClock::real(), int b = 0);\n};'
check "a parameter's default closing a wrapped list" 0 platform/component.h \
  $'void f(int a,\n       const CHubClock& clock = CHubClock::real());'
check "a member's default" 0 platform/component.h \
  $'struct S {\n    const CHubClock* m_clock = &CHubClock::real();\n    const CHubClock* clock GUARDED_BY(mutex) = &CHubClock::real();\n};'
check "a read in a program's main" 0 tools/program.cpp \
  $'int main(int argc, char** argv) {\n    const auto started = CHubClock::real().steadyNow();\n    return 0;\n}'
check "a stamp within its count" 0 fbDebug/fbdebug.cpp \
  $'long a() { return CHubClock::real().epochSeconds(); }\nlong b() { return CHubClock::real().epochSeconds(); }'
check "a stamp beyond its count" 1 fbDebug/fbdebug.cpp \
  $'long a() { return CHubClock::real().epochSeconds(); }\nlong b() { return CHubClock::real().epochSeconds(); }\nlong c() { return time(nullptr); }'

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "clock rule: every case as expected"
