#!/usr/bin/env bash
# The main job: set up, build the release configuration, and acquire frames from a simulated
# camera with qmxcam: ten 1280 x 1024 frames as a 16-bit multi-page TIFF file, a FITS file of the
# same frames binned 2 x 2, and a PNG preview, all in one folder (default: qmxcam_output).
#   scripts/run.sh [folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/qmxcam_output}
cd "$root"
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
mkdir -p "$out"
qmxcam=build/release/bin/qmxcam
"$qmxcam" list
# --overwrite: a second run replaces the files of the first.
"$qmxcam" acquire --frames 10 --output "$out/frames.tif" --preview "$out/preview.png" --overwrite
"$qmxcam" acquire --frames 10 --bin 2x2 --format fits --output "$out/frames_binned.fits" \
  --overwrite
echo "run: frames written to $out: frames.tif (10 frames, 16-bit TIFF), frames_binned.fits" \
     "(10 frames binned 2 x 2, FITS), preview.png (the last frame)"
