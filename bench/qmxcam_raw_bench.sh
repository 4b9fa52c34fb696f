#!/usr/bin/env bash
# Bench: qmxcam writing raw frames to /dev/null from a simulated 1280 x 1024 camera at its
# maximum rate, beside the module's own end-to-end figure (acquisition_bench: the host only
# takes each frame) in the same run. Prints frames per second, frames overwritten in the
# module's buffer and frames missing from the sequence. Release build.
#   bench/qmxcam_raw_bench.sh [seconds per run, default 3] [bin folder, default build/release/bin]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3}
bin=${2:-$root/build/release/bin}

echo "== module alone (acquisition_bench, 16 slots, the host taking every frame)"
"$bin/acquisition_bench" "$seconds" | head -n 2

figures() {
  # The --json summary as one line of figures.
  /usr/bin/python3 -c '
import json, sys
s = json.load(sys.stdin)
d = s["dropped_by_cause"]
print("%.1f frames/s written, %d frames in %.2f s; overwritten in the module %d, missing from "
      "the sequence %d, dropped by the module %d" % (s["frames_per_second"], s["frames_taken"],
      s["seconds"], d.get("overwritten", 0), s["frames_missing"], sum(d.values())))'
}

for slots in 16 64; do
  echo "== qmxcam acquire --format raw --output /dev/null --sim-max-rate --slots $slots"
  "$bin/qmxcam" acquire --format raw --output /dev/null --sim-max-rate --seconds "$seconds" \
    --slots "$slots" --max-drops 1000000000 --quiet --json 2>/dev/null | figures
done
