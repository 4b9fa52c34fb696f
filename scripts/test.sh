#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test suite: native (g++), ASan+UBSan and TSan
# (clang-14), the Windows cross build under Wine, and the fuzz targets for a bounded time. Prints one summary line per configuration
# and exits non-zero when any configuration failed.
#   scripts/test.sh                 all configurations
#   scripts/test.sh debug mingw     only those named
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh || exit 1

configurations=("$@")
if ((${#configurations[@]} == 0)); then
  configurations=(debug asan tsan mingw fuzz)
fi

wine_server=/usr/lib/wine/wineserver
summary=()
failed=0

run_configuration() {
  local preset=$1
  local log="build/$preset.log"
  mkdir -p build
  local start=$SECONDS
  : >"$log"
  if [ "$preset" = mingw ]; then
    # qmxcam.exe's TIFF and PNG libraries, cross-built once and kept under build/.
    bash scripts/mingw_libraries.sh >>"$log" 2>&1 || {
      summary+=("$preset: MINGW LIBRARIES FAILED ($((SECONDS - start)) s), see $log")
      tail -n 40 "$log"
      return 1
    }
    tail -n 1 "$log"
  fi
  {
    cmake --preset "$preset" && cmake --build --preset "$preset"
  } >>"$log" 2>&1 || {
    summary+=("$preset: BUILD FAILED ($((SECONDS - start)) s), see $log")
    tail -n 40 "$log"
    return 1
  }
  if [ "$preset" = mingw ]; then
    # One prefix for the whole run and one server kept alive across the test executables.
    # Wine's own services are started here, with no terminal or pipe, so that they never hold
    # the test runner's output open.
    export WINEPREFIX="$root/build/mingw/wineprefix" WINEDEBUG=-all
    mkdir -p "$WINEPREFIX"
    "$wine_server" -p </dev/null >/dev/null 2>&1
    /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1
  fi
  ctest --preset "$preset" >>"$log" 2>&1
  local status=$?
  if [ "$preset" = mingw ]; then
    "$wine_server" -k </dev/null >/dev/null 2>&1 || true
    unset WINEPREFIX
  fi
  local counts
  counts=$(grep -E 'tests passed|tests failed' "$log" | tail -n 1)
  if [ $status -ne 0 ]; then
    summary+=("$preset: FAILED ($((SECONDS - start)) s): $counts")
    grep -E -A 30 'FAILED|Failure|ERROR: .*Sanitizer|WARNING: ThreadSanitizer' "$log" | head -n 80
    return 1
  fi
  summary+=("$preset: passed ($((SECONDS - start)) s): $counts")
}

for preset in "${configurations[@]}"; do
  echo "== $preset"
  run_configuration "$preset" || failed=1
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
