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
prepare_wine_prefix
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineserver -p 300 </dev/null >/dev/null 2>&1 &
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
ctest --preset windows -j "$jobs" || status=1

exit "$status"
