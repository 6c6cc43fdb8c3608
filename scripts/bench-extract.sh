#!/usr/bin/env bash
# Extraction benchmark (not a test), in one run:
#  1. packs a fixed payload of Wine's PE files plus a tiny start program at
#     each zstd LEVEL given (default 9, the packer's), links it into the
#     Windows benchmark program and runs it under Wine: the floors A (decode
#     only), B (checksum pass) and W (write only), cold extraction and the
#     warm pass without the index, and the CRC-32 throughputs under Wine;
#  2. natively: CRC-32 throughputs on 264 MB, and the checksum pass through
#     mappings and through reads;
#  3. whole processes under Wine, alternating: the packed launcher's warm
#     start with and without its index and its cold start, the same
#     application packed with caxa (installed with npm into the scratch
#     directory), warm and cold, the start program started directly, and
#     the floors as processes of the benchmark program; then the table and
#     the ratios. With TALLIX_BENCH_OLD, the cold start of the same
#     application packed by an older tree's packer and runtime beside it;
#  4. the block's frames decoded on 1 and 2 threads as the lanes take them,
#     cold extractions in 1 and 2 lanes and on the sequential path, and the
#     peak memory of a cold start as the system counts it.
#
# usage: scripts/bench-extract.sh [LEVEL...]
# environment: TALLIX_BENCH_HOST (host build tree, default build/host),
#   TALLIX_BENCH_WINDOWS (windows build tree, default build/windows),
#   TALLIX_BENCH_WORK (scratch, default build/bench), TALLIX_BENCH_ROUNDS
#   (whole-process rounds, default 7), TALLIX_BENCH_OLD (an install prefix
#   of another tree: bin/tallix-pack, lib/tallix-onefile), WINEPREFIX.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/common.sh"
host="${TALLIX_BENCH_HOST:-$root/build/host}"
windows="${TALLIX_BENCH_WINDOWS:-$root/build/windows}"
work="${TALLIX_BENCH_WORK:-$root/build/bench}"
rounds="${TALLIX_BENCH_ROUNDS:-7}"
levels=("$@")
[ ${#levels[@]} -gt 0 ] || levels=(9)
caxa_version=3.0.1
if ! command -v npm >/dev/null; then
    echo "bench-extract: the comparison with caxa needs npm (Debian package npm)" >&2
    exit 1
fi
mkdir -p "$work"

# The payload: 217 of Wine's PE files in 33 directories (scripts/bench_payload.py).
payload="$work/payload"
bench_payload "$work"
# The application: the payload and the program the launchers start, a
# console program that exits at once.
app="$work/app"
if [ ! -f "$app/start.exe" ]; then
    rm -rf "$app"
    cp -al "$payload" "$app"
    printf 'int main(void) { return 0; }\n' >"$work/start.c"
    x86_64-w64-mingw32-gcc-posix -O2 -s -static -o "$app/start.exe" "$work/start.c"
fi
echo "application: $(find "$app" -type f | wc -l) files, $(du -sb "$app" | cut -f1) bytes," \
     "$(find "$app" -mindepth 1 -type d | wc -l) directories"

cmake --build "$host" --target tallix-pack >/dev/null
cmake --build "$windows" --target tallix_runtime >/dev/null
pack="$host/packer/tallix-pack"
g++ -O2 -std=c++20 -I"$root" "$root/tests/bench/crc_bench_host.cpp" "$root/format/crc32.cpp" \
    "$root/format/crc32_carryless.cpp" -lz -o "$work/crc_bench_host"

if [ ! -x "$work/caxa/node_modules/.bin/caxa" ]; then
    mkdir -p "$work/caxa"
    (cd "$work/caxa" && npm install --no-audit --no-fund --silent "caxa@$caxa_version" >/dev/null)
fi

# Unpacked trees are moved aside and deleted only at the end: on ext4
# without a journal, files created soon after many deletions are slow to
# create (see tests/bench/whole_process_bench.py).
trash="$work/trash"
move_aside() {
    mkdir -p "$trash"
    for directory in "$@"; do
        [ ! -e "$directory" ] || mv "$directory" "$(mktemp -d "$trash/XXXXXX")/"
    done
}
median_of() {
    printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}
wineserver -p 300 </dev/null >/dev/null 2>&1 &
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$trash"' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

for level in "${levels[@]}"; do
    block="$work/payload-$level.bin"
    start=$(date +%s%N)
    "$pack" block "$app" -o "$block" --index "$work/payload-$level.idx" --main start.exe \
        --level "$level" >/dev/null
    packed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
    cmake "$windows" -DTALLIX_BENCH_BLOCK="$block" \
        -DTALLIX_BENCH_INDEX="$work/payload-$level.idx" >/dev/null
    cmake --build "$windows" --target extract_bench >/dev/null
    move_aside "$work"/target*
    echo
    echo "== level $level: block $(stat -c %s "$block") bytes, packed in" \
         "$((packed_ms / 1000)).$(printf '%03d' $((packed_ms % 1000))) s;" \
         "under Wine, medians of 5 (of 3 where files are written):"
    # What writes the payload starts from a flushed page cache, each run.
    bench="$windows/tests/bench/extract_bench.exe"
    target="Z:${work//\//\\}\\target"
    cold=() written=()
    for round in 1 2 3; do
        sync
        cold+=("$(wine "$bench" cold "$target-cold$round" | tr -d '\r')")
        sync
        written+=("$(wine "$bench" write "$target-write$round" | tr -d '\r')")
    done
    sync
    report=$(wine "$bench" report "$target-cold1" "$(median_of "${cold[@]}")" \
        "$(median_of "${written[@]}")")
    echo "$report"
done

echo
"$work/crc_bench_host" "$app"

# Whole processes, at the packer's default level.
tallix_cache="$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')"
tallix_cache="$(winepath -u "$tallix_cache" 2>/dev/null)/tallix-bench"
temp="$(winepath -u "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')" 2>/dev/null)"
for variant in indexed unindexed; do
    options=()
    [ "$variant" = indexed ] || options=(--no-index)
    "$pack" pack "$app" -o "$work/tallix-$variant.exe" --main start.exe --console --quiet \
        --template "{CACHE_DIR}\\tallix-bench\\$variant" --runtime "$windows/runtime" \
        "${options[@]}"
done
old_case=()
if [ -n "${TALLIX_BENCH_OLD:-}" ]; then
    "$TALLIX_BENCH_OLD/bin/tallix-pack" pack "$app" -o "$work/tallix-old.exe" --main start.exe \
        --console --quiet --template "{CACHE_DIR}\\tallix-bench\\old" \
        --runtime "$TALLIX_BENCH_OLD/lib/tallix-onefile"
    old_case=("old tallix cold=$work/tallix-old.exe=$tallix_cache/old")
fi
if [ ! -f "$work/caxa.exe" ]; then
    (cd "$work/caxa" && ./node_modules/.bin/caxa --input "$app" --output "$work/caxa.exe" \
        -N -D --identifier tallix-bench --stub node_modules/caxa/stubs/stub--win32--x64 \
        -- "{{caxa}}/start.exe")
fi
echo
echo "whole processes under Wine (wall time of \`wine X.exe\`), $rounds rounds alternating;"
echo "the floors as processes of the benchmark program (the last level's block):"
table=$(python3 "$root/tests/bench/whole_process_bench.py" --rounds "$rounds" \
    "tallix warm, index=$work/tallix-indexed.exe" \
    "tallix warm, --no-index=$work/tallix-unindexed.exe" \
    "caxa warm=$work/caxa.exe" \
    "tallix cold=$work/tallix-indexed.exe=$tallix_cache/indexed" "${old_case[@]}" \
    "caxa cold=$work/caxa.exe=$temp/caxa" \
    "P  start program directly=$app/start.exe" \
    "A  decoding only=$bench|decode" \
    "AB decoding, then checking=$bench|decode-check|$target-cold1" \
    "W  writing only=$bench|write|$target-floor=$work/target-floor")
echo "$table"
move_aside "$work"/target*

# Ratios from this one run.
median() {
    echo "$table" | awk -v name="$1" \
        'index($0, name) == 1 {for (i = 1; i < NF; i++) if ($i == "median") print $(i + 1)}'
}
python3 - "$(median 'tallix warm, index')" "$(median 'tallix warm, --no-index')" \
    "$(median 'caxa warm')" "$(median 'tallix cold')" "$(median 'caxa cold')" \
    "$(median 'P ')" "$(median 'A ')" "$(median 'AB ')" "$(median 'W ')" <<'PY'
import sys
warm, unindexed, caxa_warm, cold, caxa_cold, p, a, ab, w = map(float, sys.argv[1:])
print()
# A launcher is one process doing the work, then the start program's own
# start (P); a floor process does only its part of the work.
print("warm start with the index / caxa warm         %.2f x  (aim <= 1.0, 0.8)" % (warm / caxa_warm))
print("warm start without the index / (AB + P)       %.2f x  (aim <= 1.10)" % (unindexed / (ab + p)))
print("cold start / (max(A, W) + P)                  %.2f x  (aim <= 1.15)" % (cold / (max(a, w) + p)))
print("cold start / caxa cold                        %.2f x  (aim <= 0.25)" % (cold / caxa_cold))
print("cold start / A                                %.2f x  (aim <= 0.8)" % (cold / a))
PY

# Decoding as the lanes take the frames, and a cold start's peak memory.
echo
for threads in 1 2; do
    times=()
    for round in 1 2 3 4 5; do
        times+=("$(wine "$bench" decode-lanes "$threads" | tr -d '\r')")
    done
    echo "frames decoded on $threads thread(s), no files: median of 5 $(median_of "${times[@]}") s"
done
# One lane decoding and writing on its thread, two such lanes, and the
# sequential path's decoding thread beside its writer thread.
for variant in "cold-sequential" "cold-lanes 1" "cold-lanes 2"; do
    times=()
    for round in 1 2 3; do
        move_aside "$work"/target-variant
        sync
        times+=("$(wine "$bench" $variant "$target-variant" | tr -d '\r')")
    done
    echo "$variant: median of 3 $(median_of "${times[@]}") s"
done
move_aside "$work"/target-variant "$tallix_cache/indexed"
sync
echo "cold start: $(wine "$bench" peak "$(winepath -w "$work/tallix-indexed.exe")" | tr -d '\r')"
if [ -n "${TALLIX_BENCH_OLD:-}" ]; then
    move_aside "$tallix_cache/old"
    sync
    echo "cold start, old: $(wine "$bench" peak "$(winepath -w "$work/tallix-old.exe")" | tr -d '\r')"
fi
