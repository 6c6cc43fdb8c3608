#!/usr/bin/env bash
# Extraction benchmark (not a test): packs a fixed payload of Wine's PE files
# at each zstd LEVEL given (default 3), links it into the Windows benchmark
# program, and runs it under Wine: decode-only and checksum-only floors, cold
# extraction, warm pass; then the native CRC-32 throughputs.
#
# usage: scripts/bench-extract.sh [LEVEL...]
# environment: TALLIX_BENCH_HOST (host build tree, default build/host),
#   TALLIX_BENCH_WINDOWS (windows build tree, default build/windows),
#   TALLIX_BENCH_WORK (scratch, default build/bench), WINEPREFIX.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/common.sh"
host="${TALLIX_BENCH_HOST:-$root/build/host}"
windows="${TALLIX_BENCH_WINDOWS:-$root/build/windows}"
work="${TALLIX_BENCH_WORK:-$root/build/bench}"
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}" WINEDEBUG=-all
levels=("$@")
[ ${#levels[@]} -gt 0 ] || levels=(3)
mkdir -p "$work"

# The payload: 217 of Wine's PE files in 33 directories (scripts/bench_payload.py).
payload="$work/payload"
bench_payload "$work"
echo "payload: $(find "$payload" -type f | wc -l) files, $(du -sb "$payload" | cut -f1) bytes," \
     "$(find "$payload" -mindepth 1 -type d | wc -l) directories"

cmake --build "$host" --target tallix-pack >/dev/null
pack="$host/packer/tallix-pack"
g++ -O2 -std=c++20 -I"$root" "$root/tests/bench/crc_bench_host.cpp" "$root/payload/crc32.cpp" \
    -lz -o "$work/crc_bench_host"

wineserver -p 300 </dev/null >/dev/null 2>&1 &
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

summary=()
for level in "${levels[@]}"; do
    block="$work/payload-$level.bin"
    start=$(date +%s%N)
    "$pack" block "$payload" -o "$block" --main mshtml.dll --level "$level" >/dev/null
    packed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
    packed="$((packed_ms / 1000)).$(printf '%03d' $((packed_ms % 1000)))"
    cmake "$windows" -DTALLIX_BENCH_BLOCK="$block" >/dev/null
    cmake --build "$windows" --target extract_bench >/dev/null
    rm -rf "$work/target"
    echo
    echo "== level $level: block $(stat -c %s "$block") bytes, packed in ${packed} s"
    report=$(wine "$windows/tests/bench/extract_bench.exe" "Z:${work//\//\\}\\target")
    echo "$report"
    warm=$(echo "$report" | awk '/warm pass/ {print $5}')
    cold=$(echo "$report" | awk '/cold extraction/ {print $3}')
    summary+=("$(printf '%5s %12s %9.1f %8s %8s' "$level" "$(stat -c %s "$block")" "$packed" "$cold" "$warm")")
done
rm -rf "$work/target"

echo
"$work/crc_bench_host"
echo
echo "level   block bytes  pack (s)  cold (s)  warm (s)"
printf '%s\n' "${summary[@]}"
