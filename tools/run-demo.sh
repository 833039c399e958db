#!/usr/bin/env bash
# The main job of ./dev run: what the system can do so far, run for real on the embedded default.
# The browse service's entry points are not built yet; hubdbdemo builds the demo Hubmaster world and
# shows what the platform answers about it.
set -euo pipefail
build="$1"
work="$build/demo"
echo "run: built libhubplatform.so and libfastbrowsehm.so in $build"
ls -l "$build"/libhubplatform.so "$build"/libfastbrowsehm.so
"$build"/tools/hubdbdemo/hubdbdemo "$work"
# The classic media agent of the demo world: its item index, made from the same Hubmaster rows. Serve it
# with: mediaagent --hub "$work/hub.db" --client mediaagent3
"$build"/tools/mediaagent/mediaagent --hub "$work/hub.db" --client mediaagent3 --build-only
