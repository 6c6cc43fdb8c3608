#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test: the native
# unit tests (with ASan/UBSan), the packer's command-line tests, and the
# Windows tests under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/common.sh
werror="${TALLIX_WERROR:-ON}"
jobs="$(nproc)"

TALLIX_WERROR="$werror" bash scripts/build.sh --no-demo

configure_quietly --preset host-asan -DTALLIX_WERROR="$werror"
cmake --build --preset host-asan -j "$jobs"

status=0
ctest --preset host-asan -j "$jobs" || status=1
ctest --preset host -j "$jobs" || status=1
bash scripts/check-complexity.sh || status=1

# Windows tests: the project's prefix, a persistent and warmed-up wineserver
# (a test process then costs milliseconds instead of seconds), stopped on exit.
# The session's desktop process takes its display driver from the process
# that starts it, and ends when no program is left: started with no X
# server, every later window fails ("no driver could be loaded"), also in
# the tests that bring an X server of their own. So the warm-up starts it on
# an X server that lives as long as the session, and a program kept open
# there keeps it; tests without DISPLAY still show nothing.
prepare_wine_prefix
display_file="$(mktemp)"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" </dev/null >/dev/null 2>&1 &
session_x=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill "$session_x" 2>/dev/null || true; rm -f "$display_file"' EXIT
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
wineserver -p 300 </dev/null >/dev/null 2>&1 &
DISPLAY=":$(head -n 1 "$display_file")" wine cmd /c exit </dev/null >/dev/null 2>&1 || true
DISPLAY=":$(head -n 1 "$display_file")" wine notepad </dev/null >/dev/null 2>&1 &
ctest --preset windows -j "$jobs" || status=1

exit "$status"
