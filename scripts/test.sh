#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test: the native
# unit tests (with ASan/UBSan), the packer's command-line tests, and the
# Windows tests under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
werror="${TALLIX_WERROR:-ON}"
jobs="$(nproc)"

TALLIX_WERROR="$werror" bash scripts/build.sh --no-demo

log="$(mktemp)"
if ! cmake --preset host-asan -DTALLIX_WERROR="$werror" >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
rm -f "$log"
cmake --build --preset host-asan -j "$jobs"

status=0
ctest --preset host-asan -j "$jobs" || status=1
ctest --preset host -j "$jobs" || status=1

# Windows tests: a dedicated prefix, a persistent and warmed-up wineserver
# (a test process then costs milliseconds instead of seconds), stopped on exit.
export WINEPREFIX="$root/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
fi
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineserver -p 300 </dev/null >/dev/null 2>&1 &
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
ctest --preset windows -j "$jobs" || status=1

exit "$status"
