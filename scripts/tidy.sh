#!/usr/bin/env bash
# Runs clang-tidy (Debian 12's clang-tidy-14, with the checks of .clang-tidy) over the sources of
# every layer, two files at a time, against a clang build's compile_commands.json. Fails when a
# check reports anything.
#   scripts/tidy.sh build/asan
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: scripts/tidy.sh BUILD_DIRECTORY}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
cd "$root"
find platform usb camera module sim tools -name '*.cpp' -not -path 'platform/windows/*' -print0 |
  sort -z | xargs -0 -P2 -n4 "$tidy" -p "$build" --quiet
