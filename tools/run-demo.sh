#!/usr/bin/env bash
# The main job of ./dev run: the whole system on loopback. Creates the demo world (the Hubmaster database
# and the media agents' item indexes from one seed), starts the host (tools/hubmaster with the service
# library) and the demo's media agents (tools/mediaagent), runs a tour with the console (tools/browse),
# then stops every process and checks each stopped cleanly.
#
#   tools/run-demo.sh <build folder> [--serve]
#
# --serve leaves the processes running after the tour until Ctrl-C. Any failing step exits non-zero with
# the service's error.
set -euo pipefail
# Everything the demo writes (the processes' outputs, the world) is its owner's alone.
umask 077
build="$(cd "$1" && pwd)"
serve=0
[ "${2:-}" = "--serve" ] && serve=1
work="$build/demo"
browse_bin="$build/tools/browse/browse"

pids=()
names=()
outputs=()

# One world per build folder: a second run would delete and rebuild the folder a served world's
# processes are using. The lock is held by this script (and the processes it starts) until they end.
lock="$build/demo.lock"
exec 9>>"$lock"
if ! flock -n 9; then
  echo "run: the demo world in $work is in use by another ./dev run (pid $(head -n 1 "$lock.pid" 2>/dev/null || echo '?'))," >&2
  echo "run: most likely ./dev run --serve: stop it (Ctrl-C in its terminal) first, or use that world as it is" >&2
  exit 1
fi
echo "$$" >"$lock.pid"

# Bold headings on a terminal only: a file or a pipe gets plain text.
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

# Stops every process this script started (host first, so no browse is left waiting on a media agent)
# and fails when one did not stop cleanly.
stop_all() {
  local status=0 i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[$i]}" 2>/dev/null || true
  done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    local rc=0
    wait "${pids[$i]}" || rc=$?
    if [ "$rc" -ne 0 ]; then
      echo "run: ${names[$i]} exited with status $rc; its output:" >&2
      cat "${outputs[$i]}" >&2
      status=1
    else
      tail -n 1 "${outputs[$i]}"
    fi
  done
  pids=()
  return "$status"
}
trap 'stop_all >/dev/null 2>&1 || true' EXIT
trap 'echo; echo "run: interrupted, stopping"; stop_all; trap - EXIT; exit 0' INT TERM

# Waits (a minute at most) for `pattern` in the file `watched` while the process `pid` lives; else shows
# `shown` with `failure` and stops the tour. Prints the line found.
await_line() {
  local watched="$1" pattern="$2" pid="$3" failure="$4" shown="$5" waited=0
  until grep -q "$pattern" "$watched"; do
    if ! kill -0 "$pid" 2>/dev/null || [ "$waited" -ge 600 ]; then
      echo "run: $failure; its output:" >&2
      cat "$shown" >&2
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  grep "$pattern" "$watched"
}

# Starts a program in the background, its output in $work/<name>.out, and waits for `ready` in it.
start() {
  local name="$1" ready="$2"
  shift 2
  local out="$work/$name.out"
  : >"$out"
  "$@" >"$out" 2>&1 &
  pids+=("$!")
  names+=("$name")
  outputs+=("$out")
  await_line "$out" "$ready" "${pids[-1]}" "$name did not start" "$out"
}

port_of() { sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/$1.out" | head -n 1; }

# The arguments as bash reads them back: each one single-quoted unless it is plainly safe.
quoted() {
  local a out=() q="'"
  for a in "$@"; do
    if [[ "$a" =~ ^[A-Za-z0-9_./:=,@%+-]+$ ]]; then out+=("$a"); else out+=("$q${a//$q/$q\\$q$q}$q"); fi
  done
  echo "${out[*]}"
}
# The console as it runs, relative to where the tour was started when it lies below it.
console="${browse_bin#"$PWD"/}"

# One step of the tour: prints exactly the command it runs, quoted for a shell (paste it to run it
# again while the world is served), runs it and stops the tour when it fails (the console prints the
# service's error).
step() {
  local title="$1"
  shift
  say "$title"
  echo "\$ $console $(quoted "$@" $connect)"
  "$browse_bin" "$@" $connect
}

# A step whose answer must say what its title says: the answer's text is checked, so a title never
# tells what did not happen.
answered() {
  local title="$1" expected="$2"
  shift 2
  say "$title"
  echo "\$ $console $(quoted "$@" $connect)"
  local out
  out="$("$browse_bin" "$@" $connect)"
  echo "$out"
  if ! grep -qF -e "$expected" <<<"$out"; then
    echo "run: expected an answer with [$expected]" >&2
    exit 1
  fi
}

# A step the service must refuse, with the refusal's text: an expected refusal, marked as such.
refused() {
  local title="$1" expected="$2"
  shift 2
  say "$title"
  echo "\$ $console $(quoted "$@" $connect)"
  local err rc=0
  err="$("$browse_bin" "$@" $connect 2>&1 >/dev/null)" || rc=$?
  echo "$err"
  if [ "$rc" -eq 0 ] || ! grep -qF -e "$expected" <<<"$err"; then
    echo "run: expected a refusal with [$expected]" >&2
    exit 1
  fi
  echo "(refused, as expected: exit status $rc)"
}

say "The demo world"
rm -rf "$work"
"$build"/tools/hubdbdemo/hubdbdemo "$work" >"$work.hubdbdemo.out" 2>&1 || { cat "$work.hubdbdemo.out" >&2; exit 1; }
# What the world holds, as the README's table "The demo world" shows it: the summary up to its first
# blank line.
sed '/^$/,$d' "$work.hubdbdemo.out"
mv "$work.hubdbdemo.out" "$work/hubdbdemo.out"

say "Certificates: the Hubmaster's authority and each machine's own, owner-only"
for folder in "$work/tls" "$work"/machines/*/tls; do
  printf '%-44s %s\n' "${folder#"$work"/}/machine.crt" \
    "$(openssl x509 -in "$folder/machine.crt" -noout -subject -issuer -nameopt oneline | tr '\n' ' ')"
done
# A machine's credentials come from the Hubmaster: a new console machine gets its own.
"$build"/tools/hubmaster/hubmaster cert --client console1 --out "$work/machines/console1/tls" --data "$work"

say "Starting the media agents and the host on loopback"
# The media agents listen on ports the system chooses; the Hubmaster records them, as a media agent's
# installation would.
start mediaagent1 "listening on" "$build"/tools/mediaagent/mediaagent --hub "$work/hub.db" \
  --client mediaagent1 --port 0 --log "$work" --index-service started --registry "$work/registry.ini" \
  --tls "$work/machines/mediaagent1/tls" --hold-sessions demo-held-
start mediaagent3 "listening on" "$build"/tools/mediaagent/mediaagent --hub "$work/hub.db" \
  --client mediaagent3 --port 0 --log "$work" --registry "$work/registry.ini" --tls "$work/machines/mediaagent3/tls"
sqlite3 "$work/hub.db" "UPDATE APP_Client SET zydPort = $(port_of mediaagent1), net_hostname = '127.0.0.1' WHERE name = 'mediaagent1';
  UPDATE APP_Client SET zydPort = $(port_of mediaagent3), net_hostname = '127.0.0.1' WHERE name = 'mediaagent3';"
# The host writes BrowseRouter's address into the data folder's registry, where the console finds it.
start hubmaster "BrowseRouter listening on" "$build"/tools/hubmaster/hubmaster --data "$work" \
  --lib "$build/libfastbrowsehm.so" --port 0
# Media agents answer a browse the Hubmaster sends them at its own address, as recorded for it.
sqlite3 "$work/hub.db" "UPDATE APP_Client SET zydPort = $(port_of hubmaster), net_hostname = '127.0.0.1'
  WHERE name = 'hubmaster';"

# The demo's backups run daily from 2023-11-14 for 14 days; client1's file-system subclient is 1.
day="2023-11-28"
connect="--data $work --ma-host 127.0.0.1 --quiet --timeout 30"
set1="--client client1 --subclient 1"

# Tokens live in owner-only files, never on the command line where every local user sees them in ps.
"$build"/tools/hubmaster/hubmaster token --user admin --data "$work" --out "$work/admin.token"
"$build"/tools/hubmaster/hubmaster token --user alice --data "$work" --out "$work/alice.token"
admin="--token-file $work/admin.token"
alice="--token-file $work/alice.token"

step "The root of client1's backup set, as an administrator" list $set1 --at "$day" $admin
step "A directory at a point in time (ISO 8601 times are read whole)" list $set1 --path /d00/d01/d00 \
  --at "2023-11-22T00:00:00Z" $admin
step "The versions of one file over two weeks" versions $set1 --path /d00/d01/d00/f00000202.dat \
  --from 2023-11-14 --to "$day" $admin
session="demo-tour-$$"
step "A directory a page at a time: page 2 of pages of 5 (pages count from 1)" list $set1 --session "$session" \
  --path /d00/d01/d00 --at "$day" --page-size 5 --page 2 $admin
step "How many items that directory holds" count $set1 --path /d00/d01/d00 --at "$day" $admin
step "Find by name pattern across the backup set (the whole tree)" find $set1 --name 'f0000021*' \
  --at "$day" $admin
step "Find by name pattern across clients (each row names its client)" find --clients client1,client2 \
  --path /d00/d01/d00 --name 'f0000020*' --at "$day" $admin
step "The media a restore of /d00 needs" media $set1 --path /d00 --at "$day" $admin
# client3's backups are on mediaagent3, release 9.0: no index service, so the Hubmaster browses it over
# the classic protocol and streams the items back.
set3="--client client3 --subclient $(sqlite3 "$work/hub.db" "SELECT a.id FROM APP_Application a JOIN APP_Client c
  ON c.id = a.clientId WHERE c.name = 'client3'")"
step "An older media agent (release 9.0) over the classic protocol, through the Hubmaster" list $set3 \
  --path /d01 --at 2023-11-25 --via hubmaster $admin
step "...whose root holds /d01, reported without its type: the Hubmaster browses it in its place" list \
  $set3 --at 2023-11-25 --via hubmaster $admin
session3="demo-tour-older-$$"
step "...which the console also takes by itself when the router names that agent" list $set3 \
  --path /d01 --at 2023-11-25 --session "$session3" $admin
# The application roads, on mediaagent1: an Exchange mailbox backup and a OneDrive user's folder.
app_subclient() {
  sqlite3 "$work/hub.db" "SELECT a.id FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId
    WHERE c.name = '$1' AND a.appTypeId = $2 ORDER BY a.id"
}
mailboxes="--client exchmb1 --subclient $(app_subclient exchmb1 54) --app-type 54"
onedrive="--client onedrive1 --subclient $(app_subclient onedrive1 134) --app-type 134"
"$build"/tools/hubmaster/hubmaster token --user 'EXCH\mary' --data "$work" --out "$work/mary.token"
"$build"/tools/hubmaster/hubmaster token --user 'TENANT\olivia' --data "$work" --out "$work/olivia.token"
step "Exchange mailboxes, as an administrator: the mailboxes of the backup" list $mailboxes --path '\MB' \
  --at "$day" $admin
step "...a mailbox owner's browse of the mailboxes: the media agent shows her own mailbox alone" list $mailboxes \
  --path '\MB' --at "$day" --token-file "$work/mary.token"
step "OneDrive: an end user's browse of the root is confined to her own folder" list $onedrive --at "$day" \
  --token-file "$work/olivia.token"
step "...the same through the Hubmaster" list $onedrive --at "$day" --via hubmaster \
  --token-file "$work/olivia.token"
onedrive2="--client onedrive2 --subclient $(app_subclient onedrive2 134) --app-type 134"
step "OneDrive on indexing V2: the tenant's users, as an administrator" list $onedrive2 --path '\OneDrive' \
  --at "$day" $admin
step "...an end user's browse: the media agent applies her object-id filter, her folder alone" list $onedrive2 \
  --path '\OneDrive' --at "$day" --via hubmaster --token-file "$work/olivia.token"
# Application mining: the SharePoint servers' mining service runs on mediaagent1's machine in this world.
sqlite3 "$work/hub.db" "UPDATE APP_Client SET zydPort = $(port_of mediaagent1), net_hostname = '127.0.0.1'
  WHERE name IN ('spplain', 'spserver1', 'spserver2', 'spserver3');"
exchmine="--client exchmine1 --subclient $(app_subclient exchmine1 53 | head -n 1) --app-type 53"
sharepoint="--client spplain --subclient $(app_subclient spplain 78) --app-type 78"
step "Mining an Exchange database: the Hubmaster completes the cycle's jobs, mediaagent1 mines it" list --mine \
  $exchmine --path 'Mailbox Database A' --ma mediaagent1 --at "$day" --via hubmaster $admin
step "Mining a SharePoint server's sites: launched there with its agent's account, answered from the index" \
  list --mine $sharepoint --at "$day" --via hubmaster $admin
step "...a mining service answers only the Hubmaster: on the default road the console is refused there, and takes the Hubmaster's road" \
  list --mine $sharepoint --at "$day" $admin
refused "A live browse of a machine: BrowseRouter prepares it; a media agent holds backups, not the machine" \
  "cannot browse client" list --client livewin1 --backup-set "$(sqlite3 "$work/hub.db" "SELECT a.backupSet
  FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId WHERE c.name = 'livewin1'")" --app-type 29 \
  --path 'C:\' --live $admin
step "An end user (alice) browses her own machine with her own token" list $set1 --path /d00/d01/d00 \
  --at "$day" --page-size 4 $alice
step "...sees what an erase of one of her files would book (nothing is booked)" erase $set1 \
  --path /d00/d01/d00/f00000203.dat=858145 --at "$day" --dry-run $alice
step "...erases it (the size is checked against the backup; the Hubmaster makes the erase task)" erase $set1 \
  --path /d00/d01/d00/f00000203.dat=858145 --at "$day" $alice
refused "...and may not browse another client's backups" "Browse access denied" \
  list --client client2 --subclient 2 --at "$day" $alice
refused "...nor reach them by naming her own client with client2's subclient" \
  "Subclient [2] is not a subclient of client [client1]" list --client client1 --subclient 2 --at "$day" $alice
refused "A request without a user or a token is refused" "no token was given" \
  list --client client2 --subclient 2 --at "$day"
refused "A time the console cannot read is refused, naming the option" "--at [2023-11-21x] is not a time" \
  list $set1 --at 2023-11-21x $admin
answered "A stop of the paged browse's session, which had ended: its media agent is told again (only the agent knows whether its answers ended)" \
  "media agent [mediaagent1], which its prepared request was handed to, is told to end the answers of it" \
  stop --session "$session" $admin
answered "A stop of the older agent's browse, which had ended in the Hubmaster: nothing was handed to that agent, so nothing was left to stop" \
  "nothing was left to stop" stop --session "$session3" $admin

# A browse in flight: mediaagent1 holds the answers of the sessions named demo-held-... after their first
# items, until the session is stopped (the demo's other browses are never held).
held_browse() {
  local road="$1" held="demo-held-$2-$$"
  shift 2
  say "A browse in flight ($road), held by mediaagent1 after its first items, and stopped"
  echo "\$ $console $(quoted list $set1 --path /d00/d01/d00 --at "$day" --session "$held" "$@" $admin $connect) &"
  local rc=0
  "$browse_bin" list $set1 --path /d00/d01/d00 --at "$day" --session "$held" "$@" $admin $connect \
    >"$work/$held.out" 2>"$work/$held.err" &
  local browsing=$!
  await_line "$work/mediaagent1.out" "session $held held after" "$browsing" \
    "the browse of $held was not held in flight" "$work/$held.out"
  refused "...another user's stop is refused, and the browse goes on" "does not own the session" stop \
    --session "$held" $alice
  step "...its owner's stop ends it (-v: what was sent, and where)" stop --session "$held" -v $admin
  wait "$browsing" || rc=$?
  echo "the held browse ended with exit status $rc, after the items it had received ($(tail -n 1 "$work/$held.out")):"
  cat "$work/$held.err"
  if [ "$rc" -ne 1 ] || ! grep -q "The browse was stopped" "$work/$held.err"; then
    echo "run: the stop did not end the browse of $held" >&2
    exit 1
  fi
}
held_browse "BrowseRouter's prepared request, read from the media agent by the console" direct
held_browse "through the Hubmaster, whose worker mediaagent1 answers" hubmaster --via hubmaster

if [ "$serve" -eq 1 ]; then
  say "Serving (Ctrl-C stops every process)"
  cat <<EOF
The console against these processes (logs in $work):
  $browse_bin list --client client1 --subclient 1 --path /d00 --at 2023-11-28 $admin $connect
  $browse_bin find --clients client1,client2 --path /d00/d01/d00 --name 'f*' $alice $connect
  $browse_bin list $set3 --path /d01 --at 2023-11-25 --via hubmaster $admin $connect
  $browse_bin --help   (every command; browse <command> --help: its options and an example)
EOF
  # Says so when one of the processes ends on its own, and stops the others.
  while true; do
    for i in "${!pids[@]}"; do
      if ! kill -0 "${pids[$i]}" 2>/dev/null; then
        rc=0
        wait "${pids[$i]}" || rc=$?
        echo "run: ${names[$i]} (pid ${pids[$i]}) stopped on its own with status $rc; its last lines:" >&2
        tail -n 5 "${outputs[$i]}" >&2
        unset 'pids[i]' 'names[i]' 'outputs[i]'
        pids=("${pids[@]}") names=("${names[@]}") outputs=("${outputs[@]}")
        echo "run: stopping the others" >&2
        stop_all || true
        trap - EXIT
        exit 1
      fi
    done
    sleep 1
  done
fi

say "Stopping"
stop_all
trap - EXIT
echo "run: the tour passed; logs in $work"
