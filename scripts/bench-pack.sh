#!/usr/bin/env bash
# Pack benchmark (not a test): times `tallix-pack pack` on the benchmarks'
# payload of Wine's PE files against the zstd command line (libzstd)
# compressing a tar of the same files at the same level and thread count
# into a file, alternating, and prints the medians and the median of the
# run-by-run ratios. The tar is made once beforehand; every input is read
# once before timing, so all come from the page cache. The packer runs with
# PATH=/nonexistent: it needs no tool.
#
# usage: scripts/bench-pack.sh [LEVEL [JOBS [REPEATS]]]   (default 9, nproc, 5)
# environment: TALLIX_OUT (install prefix, default out),
#   TALLIX_BENCH_WORK (scratch, default build/bench).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/common.sh"
out="${TALLIX_OUT:-$root/out}"
work="${TALLIX_BENCH_WORK:-$root/build/bench}"
level="${1:-9}"
jobs="${2:-$(nproc)}"
repeats="${3:-5}"
pack="$(cd "$out/bin" && pwd)/tallix-pack"
mkdir -p "$work"

payload="$work/payload"
bench_payload "$work"
tar -C "$payload" -cf "$work/payload.tar" .
cat "$work/payload.tar" >/dev/null
echo "payload: $(find "$payload" -type f | wc -l) files, $(du -sb "$payload" | cut -f1) bytes;" \
     "level $level, $jobs threads, $repeats runs each"

milliseconds() {
    local start
    start=$(date +%s%N)
    "$@" >/dev/null
    echo $((($(date +%s%N) - start) / 1000000))
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

launcher="$work/bench-pack.exe"
packer_times=()
zstd_times=()
for ((i = 0; i <= repeats; i++)); do
    p=$(milliseconds env PATH=/nonexistent "$pack" pack "$payload" -o "$launcher" \
        --main mshtml.dll --level "$level" --jobs "$jobs" --quiet)
    z=$(milliseconds zstd -q -f "-$level" "-T$jobs" "$work/payload.tar" -o "$work/payload.tar.zst")
    if [ "$i" -gt 0 ]; then # the first round only warms the caches
        packer_times+=("$p")
        zstd_times+=("$z")
    fi
done
p=$(printf '%s\n' "${packer_times[@]}" | median)
z=$(printf '%s\n' "${zstd_times[@]}" | median)
echo "tallix-pack pack: ${packer_times[*]} ms, median $p ms, launcher $(stat -c %s "$launcher") bytes"
echo "zstd -$level -T$jobs: ${zstd_times[*]} ms, median $z ms"
# Each run against its neighbour, so that a machine whose speed drifts
# (other work on it) does not tilt the ratio.
ratios=()
for ((i = 0; i < repeats; i++)); do
    ratios+=("$(awk -v p="${packer_times[i]}" -v z="${zstd_times[i]}" 'BEGIN {printf "%.3f", p / z}')")
done
echo "ratio run by run: ${ratios[*]}, median $(printf '%s\n' "${ratios[@]}" | median)"
rm -f "$launcher" "$work/payload.tar" "$work/payload.tar.zst"
