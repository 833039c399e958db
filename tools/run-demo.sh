#!/usr/bin/env bash
# The main job of ./dev run: what the system can do so far, run for real on the embedded default.
set -euo pipefail
build="$1"
echo "run: built libhubplatform.so and libfastbrowsehm.so in $build"
ls -l "$build"/libhubplatform.so "$build"/libfastbrowsehm.so
echo "run: the host, media agent and console programs are not built yet; nothing else to run."
