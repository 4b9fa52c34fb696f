#!/usr/bin/env bash
# The main job: set up, build, and acquire frames from a simulated camera and write them out.
# The camera logic and the acquisition host program do not exist yet; until they do, this builds
# the release configuration and streams image packets from a simulated camera through the
# platform seam (sim_stream_bench), printing the rate. Nothing is written out yet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
echo "run: no acquisition program yet; streaming packets from a simulated camera instead"
build/release/bin/sim_stream_bench
