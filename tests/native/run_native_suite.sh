#!/usr/bin/env bash
# The Windows device path under Wine, in a Wine prefix of its own: makes the prefix, installs the
# test bus driver once, runs each native-path suite once (the simulator serving the driver from
# the test process), removes the device and stops the prefix's wineserver. Every Wine call has a
# time limit. Without Wine, or when the driver cannot be installed, it says so and fails: it never
# passes without running.
#   run_native_suite.sh BIN_DIR WORK_DIR [PROGRAM...]
# PROGRAM names a program of BIN_DIR to run in the prefix (default: every suite); the figures of
# the README come from native_path_bench.
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: run_native_suite.sh BIN_DIR WORK_DIR [SUITE...]" >&2
  exit 2
fi
bin=$(cd "$1" && pwd)
mkdir -p "$2" && work=$(cd "$2" && pwd) || exit 1
shift 2
suites=("$@")
if ((${#suites[@]} == 0)); then
  suites=(native_usb_test native_module_test)
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
start=$SECONDS

say() { echo "native path: $*"; }
fail() {
  say "$* ($((SECONDS - start)) s)"
  exit 1
}

if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
  fail "Wine is missing ($wine): the driver cannot be installed, nothing ran"
fi
for file in qmx_test_bus.sys qmx_test_bus.inf qmx_test_bus_install.exe; do
  [ -f "$bin/$file" ] || fail "$bin/$file is missing: the driver cannot be installed, nothing ran"
done
for suite in "${suites[@]}"; do
  [ -f "$bin/$suite.exe" ] || fail "$bin/$suite.exe is missing, nothing ran"
done

mkdir -p "$work"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stop_server() { timeout 30 "$wineserver" -k </dev/null >/dev/null 2>&1 || true; }
trap stop_server EXIT
stop_server
rm -rf "$WINEPREFIX"

# A new prefix finishes its first start (services included) before a driver can be installed.
timeout 180 "$wine" wineboot -i </dev/null >"$work/wineboot.log" 2>&1 ||
  fail "the Wine prefix could not be made (see $work/wineboot.log)"
timeout 120 "$wineserver" -w </dev/null >/dev/null 2>&1 || fail "the new prefix did not settle"
say "prefix ready ($((SECONDS - start)) s)"
# One server for the rest of the run, started with no terminal or pipe (as scripts/test.sh does).
timeout 30 "$wineserver" -p </dev/null >/dev/null 2>&1

if ! timeout 120 "$wine" "$bin/qmx_test_bus_install.exe" install </dev/null \
  >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  fail "the test bus driver could not be installed, nothing ran"
fi
say "driver installed ($((SECONDS - start)) s)"

status=0
for suite in "${suites[@]}"; do
  # Output to a file, never a pipe: services Wine starts meanwhile could hold a pipe open.
  suite_start=$SECONDS
  arguments=()
  if [[ $suite == *_test ]]; then
    arguments=(--gtest_color=no)
  fi
  timeout 300 "$wine" "$bin/$suite.exe" "${arguments[@]}" </dev/null >"$work/$suite.log" 2>&1
  result=$?
  cat "$work/$suite.log"
  if [ $result -ne 0 ]; then
    say "$suite FAILED (status $result, $((SECONDS - suite_start)) s)"
    status=1
  else
    say "$suite passed ($((SECONDS - suite_start)) s)"
  fi
done

if ! timeout 120 "$wine" "$bin/qmx_test_bus_install.exe" remove </dev/null \
  >"$work/remove.log" 2>&1; then
  cat "$work/remove.log"
  say "the test bus device could not be removed"
  status=1
fi
say "done in $((SECONDS - start)) s"
exit $status
