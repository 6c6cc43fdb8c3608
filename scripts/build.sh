#!/usr/bin/env bash
# Builds everything and installs it to out/, then runs the demo.
#   scripts/build.sh            build, install, demo
#   scripts/build.sh --no-demo  build and install only (used by scripts/test.sh)
# TALLIX_WERROR=ON turns compiler warnings into errors (CI does).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/common.sh

zstd_prefix="$(bash scripts/setup.sh --print-zstd-prefix | tail -n1)"
werror="${TALLIX_WERROR:-OFF}"
jobs="$(nproc)"

configure_quietly --preset host -DTALLIX_WERROR="$werror"
cmake --build --preset host -j "$jobs"
cmake --install build/host --prefix out >/dev/null

configure_quietly --preset windows -DTALLIX_WERROR="$werror" \
    -DTALLIX_ZSTD_MINGW_PREFIX="$zstd_prefix" -DTALLIX_HOST_BIN="$root/out/bin" \
    -DTALLIX_HOST_BUILD="$root/build/host"
cmake --build --preset windows -j "$jobs"
# Installed afresh: files an older runtime had must not linger beside it.
rm -rf out/lib/tallix-onefile
cmake --install build/windows --prefix out >/dev/null

if [ "${1:-}" != "--no-demo" ]; then
    bash scripts/demo.sh
fi
