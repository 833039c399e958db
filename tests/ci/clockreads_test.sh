#!/usr/bin/env bash
# cmake/clockreads over objects compiled here, laid out as the build lays them out: every spelling of a
# read of the system's clocks in product code is refused, whether or not a text search would see it
# (a call with a space before its parenthesis, a macro, a lambda's default, a function pointer, clock(),
# clock_gettime, gettimeofday, time, std::chrono's clocks), optimised as CI builds it; and what the rule
# lets through is let through (a file of its list, a program's main, code that takes its clock).
set -u
rule="$1"
cxx="$2"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
printf '%s\n' "fbDebug/fbdebug.cpp 2" >"$dir/list"
failures=0
check() {  # name, expected exit, source path as the build names it, its text
  local build="$dir/build" out status object
  rm -rf "$build"
  object="$build/$(dirname "$3")/CMakeFiles/fb_x_obj.dir/$(basename "$3").o"
  mkdir -p "$(dirname "$object")"
  printf '%s\n' "$4" >"$dir/source.cpp"
  if ! "$cxx" -std=c++20 -O2 -c "$dir/source.cpp" -o "$object" 2>"$dir/cc.log"; then
    echo "FAIL $1: does not compile"; cat "$dir/cc.log"; failures=$((failures + 1)); return
  fi
  out="$(bash "$rule" "$dir/list" "$build" "$object" 2>&1)"
  status=$?
  if [ "$status" -ne "$2" ] || { [ "$2" -ne 0 ] && ! grep -qF "build: $3 reads the system's clock" <<<"$out"; }; then
    echo "FAIL $1: exit $status, expected $2 naming $3"; echo "$out"; failures=$((failures + 1))
  fi
}

# Refused: each spelling, in a file the list does not name.
check "now () with a space" 1 planning/limit.cpp \
  $'#include <chrono>\nlong f() { return std::chrono::steady_clock::now ().time_since_epoch().count(); }'
check "a macro" 1 service/limit.cpp \
  $'#include <chrono>\n#define NOW std::chrono::system_clock::now\nlong f() { return NOW().time_since_epoch().count(); }'
check "a lambda's default" 1 worker/limit.cpp \
  $'#include <chrono>\nusing C = std::chrono::steady_clock;\nlong f() {\n    auto at = [](C::time_point t = C::now()) { return t.time_since_epoch().count(); };\n    return at();\n}'
check "a function pointer" 1 platform/net/limit.cpp \
  $'#include <chrono>\nusing Now = std::chrono::system_clock::time_point (*)();\nNow reader() { return &std::chrono::system_clock::now; }'
check "a C function pointer" 1 appbrowse/limit.cpp \
  $'#include <ctime>\nstd::time_t (*reader())(std::time_t*) { return &std::time; }'
check "clock()" 1 indexing/limit.cpp $'#include <ctime>\nlong f() { return clock(); }'
check "clock_gettime (" 1 tools/mediaagent/limit.cpp \
  $'#include <time.h>\nlong f() {\n    timespec t;\n    clock_gettime (CLOCK_MONOTONIC, &t);\n    return t.tv_sec;\n}'
check "gettimeofday" 1 fbDebug/other.cpp \
  $'#include <sys/time.h>\nlong f() {\n    timeval t;\n    gettimeofday(&t, nullptr);\n    return t.tv_sec;\n}'

# Let through: a file of the list, a program's main, code that takes its clock from its caller.
check "a stamp the list names" 0 fbDebug/fbdebug.cpp $'#include <ctime>\nlong f() { return std::time(nullptr); }'
check "a program's main" 0 tools/program/program.cpp \
  $'#include <chrono>\nint main() { return std::chrono::steady_clock::now().time_since_epoch().count() == 0; }'
check "a clock taken from the caller" 0 planning/limit.cpp \
  $'#include <chrono>\nstruct TClock { virtual std::chrono::steady_clock::time_point now() const = 0; };\nbool expired(const TClock& c, std::chrono::steady_clock::time_point at) { return c.now() >= at; }'

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "clock reads: every case as expected"
