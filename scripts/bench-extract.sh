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
#     directory), warm and cold, the start program started directly, a
#     launcher that only starts it (L), and the floors as processes of the
#     benchmark program; in the same rounds
#     the large application (six copies of the payload in folders of their
#     own, 1.5 GB): its launcher's warm start (content check, and quick check
#     when the packer offers --check), its cold start, caxa warm and cold, and
#     its decoding floor; then the table, the peak memory of every case and of
#     the packer on the large application, and the ratios. With TALLIX_BENCH_OLD,
#     the cold start of the same application packed by an older tree's
#     packer and runtime beside it;
#  4. the block's frames decoded on 1 and 2 threads as the lanes take them,
#     cold extractions in 1 and 2 lanes and on the sequential path, what 4
#     and 8 cores would give on paper, and the peak memory of a cold start
#     as the system counts it;
#  5. the progress window's cost, and the time to the application's own
#     window with and without the progress window (under Xvfb);
#  6. updates (scripts/bench-update.sh): a v2 with four files changed and
#     one added, its warm start, its first start beside v1's folder and a
#     repair of one damaged file, and the disk both folders take.
#
# usage: scripts/bench-extract.sh [LEVEL...]
# environment: TALLIX_BENCH_HOST (host build tree, default build/host),
#   TALLIX_BENCH_WINDOWS (windows build tree, default build/windows),
#   TALLIX_BENCH_WORK (scratch, default build/bench), TALLIX_BENCH_ROUNDS
#   (whole-process rounds, default 7), TALLIX_BENCH_LARGE (0: the small
#   application alone, default 1), TALLIX_BENCH_OLD (an install prefix
#   of another tree: bin/tallix-pack, lib/tallix-onefile), TALLIX_BENCH_ONLY
#   (app-window: only the time to the application's window; update: only
#   the update cases), WINEPREFIX.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/common.sh"
host="${TALLIX_BENCH_HOST:-$root/build/host}"
windows="${TALLIX_BENCH_WINDOWS:-$root/build/windows}"
work="${TALLIX_BENCH_WORK:-$root/build/bench}"
rounds="${TALLIX_BENCH_ROUNDS:-7}"
large="${TALLIX_BENCH_LARGE:-1}"
only="${TALLIX_BENCH_ONLY:-}"
levels=("$@")
[ ${#levels[@]} -gt 0 ] || levels=(9)
caxa_version=3.0.1
if [ -z "$only" ] && ! command -v npm >/dev/null; then
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
# The large application: six copies of the payload (hard links), each in a
# folder of its own, and the same start program.
large_app="$work/app-large"
[ -z "$only" ] || large=0
if [ "$large" = 1 ] && [ ! -f "$large_app/start.exe" ]; then
    rm -rf "$large_app"
    mkdir -p "$large_app"
    for copy in 1 2 3 4 5 6; do
        cp -al "$payload" "$large_app/copy$copy"
    done
    cp "$app/start.exe" "$large_app/start.exe"
fi
[ "$large" != 1 ] || echo "large application: $(find "$large_app" -type f | wc -l) files," \
    "$(du -sbl "$large_app" | cut -f1) bytes"

cmake --build "$host" --target tallix-pack >/dev/null
cmake --build "$windows" --target tallix_runtime >/dev/null
pack="$host/packer/tallix-pack"
g++ -O2 -std=c++20 -I"$root" "$root/tests/bench/crc_bench_host.cpp" "$root/format/crc/crc32.cpp" \
    "$root/format/crc/crc32_carryless.cpp" -lz -o "$work/crc_bench_host"

if [ -z "$only" ] && [ ! -x "$work/caxa/node_modules/.bin/caxa" ]; then
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
# The prefix is the project's, which the tests share: the window block's
# setting is taken back however the script ends (a test looks for the
# launcher's window through the window manager).
forget_window_manager_setting() {
    wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
}
trap 'forget_window_manager_setting; wineserver -k >/dev/null 2>&1 || true; rm -rf "$trash"' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1
tallix_cache="$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')"
tallix_cache="$(winepath -u "$tallix_cache" 2>/dev/null)/tallix-bench"

# GUI launchers of APP with and without the progress window,
# tallix-PREFIXwindow.exe and tallix-PREFIXno-window.exe, their cache folders
# moved aside; the prefix is told there is no window manager (see below).
pack_window_pair() { # APP MAIN PRODUCT PREFIX
    local variant
    for variant in "$4window" "$4no-window"; do
        local options=(--gui)
        [ "$variant" = "$4window" ] || options+=(--no-progress-window)
        "$pack" pack "$1" -o "$work/tallix-$variant.exe" --main "$2" --quiet --product "$3" \
            --template "{CACHE_DIR}\\tallix-bench\\$variant" --runtime "$windows/runtime" \
            "${options[@]}"
        move_aside "$tallix_cache/$variant"
    done
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
}

# --- The application's window -----------------------------------------------
# What a person waits for: the application's own window. A GUI program that
# shows a window for half a second, beside the payload (264 MB), packed as a
# GUI launcher with and without the progress window; cold starts side by
# side, each timed until the application's window is viewable on an X server
# (xvfb-run) without a window manager, whose waits the prefix is told of.
app_window_block() {
    local window_app="$work/app-window" title="tallix bench application window"
    if [ ! -f "$window_app/window.exe" ]; then
        rm -rf "$window_app"
        cp -al "$payload" "$window_app"
        cat >"$work/window.c" <<'C'
#include <windows.h>
/* Shows its window, then ends half a second later. */
static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_TIMER) { PostQuitMessage(0); return 0; }
    return DefWindowProcW(window, message, w, l);
}
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
    WNDCLASSW windowClass = {0};
    MSG message;
    HWND window;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"TallixBenchWindow";
    RegisterClassW(&windowClass);
    window = CreateWindowW(L"TallixBenchWindow", L"tallix bench application window",
                           WS_OVERLAPPEDWINDOW, 100, 100, 320, 200, 0, 0, instance, 0);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    SetTimer(window, 1, 500, 0);
    while (GetMessageW(&message, 0, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
C
        x86_64-w64-mingw32-gcc-posix -O2 -s -static -mwindows -o "$window_app/window.exe" \
            "$work/window.c"
    fi
    pack_window_pair "$window_app" window.exe "tallix bench app" app-
    echo
    echo "the application's window: GUI launchers' cold starts under Xvfb until the"
    echo "application's window is viewable, $rounds rounds alternating:"
    local app_window_table
    # Wine's desktop process comes up with a session's first window and
    # goes with its last: Notepad stays open throughout, as a person's
    # desktop does, so that neither case pays for it.
    app_window_table=$(xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c '
        set -euo pipefail
        root=$1 work=$2 rounds=$3 cache=$4 title=$5
        wine notepad </dev/null >/dev/null 2>&1 &
        notepad=$!
        until xwininfo -root -tree 2>/dev/null | grep -q Notepad; do sleep 0.1; done
        python3 "$root/tests/bench/whole_process_bench.py" --rounds "$rounds" --window "$title" \
            "tallix cold, progress window=$work/tallix-app-window.exe=$cache/app-window" \
            "tallix cold, no window=$work/tallix-app-no-window.exe=$cache/app-no-window"
        kill "$notepad"
    ' app-window "$root" "$work" "$rounds" "$tallix_cache" "$title")
    echo "$app_window_table"
    echo "$app_window_table" | awk '{for (i = 1; i < NF; i++) if ($i == "median") m[NR] = $(i + 1)}
        END {printf "\napplication window: progress window / none   %.3f x  (aim <= 1.10)\n", m[1] / m[2]}'
}
if [ "$only" = app-window ]; then
    app_window_block
    exit 0
fi
source "$root/scripts/bench-update.sh"
if [ "$only" = update ]; then
    update_block
    exit 0
fi

# The large application, packed at the packer's default level: the launcher
# (the packer's time and peak memory), and the block and index its decoding
# floor links, built into a copy of the benchmark program set aside before
# the levels below relink it.
if [ "$large" = 1 ]; then
    stats=$( { /usr/bin/time -f '%e %M' "$pack" pack "$large_app" -o "$work/tallix-large.exe" \
        --main start.exe --console --quiet --template "{CACHE_DIR}\\tallix-bench\\large" \
        --runtime "$windows/runtime" >/dev/null; } 2>&1 | tail -1)
    read -r large_pack_seconds large_pack_kib <<<"$stats"
    "$pack" block "$large_app" -o "$work/payload-large.bin" --index "$work/payload-large.idx" \
        --main start.exe >/dev/null
    cmake "$windows" -DTALLIX_BENCH_BLOCK="$work/payload-large.bin" \
        -DTALLIX_BENCH_INDEX="$work/payload-large.idx" >/dev/null
    cmake --build "$windows" --target extract_bench >/dev/null
    cp "$windows/tests/bench/extract_bench.exe" "$work/extract_bench_large.exe"
    echo "packer on the large application: $large_pack_seconds s," \
         "peak $((large_pack_kib / 1024)) MB; launcher $(stat -c %s "$work/tallix-large.exe") bytes"
fi

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
temp="$(winepath -u "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')" 2>/dev/null)"
# The quick check's launchers only where the packer offers it.
variants=(indexed unindexed)
if "$pack" pack --help | grep -q -- '--check'; then
    variants+=(quick)
else
    echo "note: tallix-pack pack lists no --check, so the quick-check warm starts are left out"
fi
for variant in "${variants[@]}"; do
    options=()
    [ "$variant" != unindexed ] || options=(--no-index)
    [ "$variant" != quick ] || options=(--check quick)
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
if [ "$large" = 1 ] && [[ " ${variants[*]} " == *" quick "* ]]; then
    "$pack" pack "$large_app" -o "$work/tallix-large-quick.exe" --main start.exe --console \
        --quiet --template "{CACHE_DIR}\\tallix-bench\\large-quick" --check quick \
        --runtime "$windows/runtime"
fi
# caxa unpacks into %TEMP%\caxa\applications\IDENTIFIER, one folder per application.
caxa_pack() { # INPUT OUTPUT IDENTIFIER
    [ -f "$2" ] || (cd "$work/caxa" && ./node_modules/.bin/caxa --input "$1" --output "$2" \
        -N -D --identifier "$3" --stub node_modules/caxa/stubs/stub--win32--x64 \
        -- "{{caxa}}/start.exe")
}
caxa_pack "$app" "$work/caxa.exe" tallix-bench
[ "$large" != 1 ] || caxa_pack "$large_app" "$work/caxa-large.exe" tallix-bench-large
cases=()
[[ " ${variants[*]} " != *" quick "* ]] || cases+=("tallix warm, quick=$work/tallix-quick.exe")
if [ "$large" = 1 ]; then
    cases+=("1.5G tallix warm, content=$work/tallix-large.exe"
            "1.5G tallix cold=$work/tallix-large.exe=$tallix_cache/large"
            "1.5G caxa warm=$work/caxa-large.exe"
            "1.5G caxa cold=$work/caxa-large.exe=$temp/caxa/applications/tallix-bench-large"
            "1.5G A  decoding only=$work/extract_bench_large.exe|decode")
    [[ " ${variants[*]} " != *" quick "* ]] ||
        cases+=("1.5G tallix warm, quick=$work/tallix-large-quick.exe")
fi
echo
echo "whole processes under Wine (wall time of \`wine X.exe\`), $rounds rounds alternating;"
echo "1.5G: the large application; peak: the largest resident set of one more start;"
echo "the floors as processes of the benchmark program (the last level's block):"
table=$(python3 "$root/tests/bench/whole_process_bench.py" --rounds "$rounds" \
    "tallix warm, index=$work/tallix-indexed.exe" \
    "tallix warm, --no-index=$work/tallix-unindexed.exe" \
    "caxa warm=$work/caxa.exe" \
    "tallix cold=$work/tallix-indexed.exe=$tallix_cache/indexed" "${old_case[@]}" \
    "caxa cold=$work/caxa.exe=$temp/caxa/applications/tallix-bench" \
    "P  start program directly=$app/start.exe" \
    "L  launcher, start only=$bench|launch|Z:${app//\//\\}\\start.exe" \
    "A  decoding only=$bench|decode" \
    "AB decoding, then checking=$bench|decode-check|$target-cold1" \
    "W  writing only=$bench|write|$target-floor=$work/target-floor" \
    "${cases[@]}")
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
PY
# The quick check and the large application, from the same run; a ratio
# whose cases were left out is not printed.
python3 - "$table" <<'PY'
import re
import sys
median = {m.group(1).strip(): float(m.group(2))
          for m in re.finditer(r"^(.*?) median +([0-9.]+) s", sys.argv[1], re.M)}
ratios = [("quick warm / P", "tallix warm, quick", "P  start program directly"),
          ("quick warm / L", "tallix warm, quick", "L  launcher, start only"),
          ("content warm / caxa warm", "tallix warm, index", "caxa warm"),
          ("cold / A (one thread decoding)", "tallix cold", "A  decoding only"),
          ("1.5G quick warm / P", "1.5G tallix warm, quick", "P  start program directly"),
          ("1.5G quick warm / L", "1.5G tallix warm, quick", "L  launcher, start only"),
          ("1.5G content warm / caxa warm", "1.5G tallix warm, content", "1.5G caxa warm"),
          ("1.5G cold / A (one thread decoding)", "1.5G tallix cold", "1.5G A  decoding only"),
          ("1.5G cold / caxa cold", "1.5G tallix cold", "1.5G caxa cold")]
print()
for label, numerator, denominator in ratios:
    if numerator in median and denominator in median:
        print("%-45s %.2f x" % (label, median[numerator] / median[denominator]))
PY

# Decoding as the lanes take the frames, and a cold start's peak memory.
echo
declare -A decoded variant_median
for threads in 1 2; do
    times=()
    for round in 1 2 3 4 5; do
        times+=("$(wine "$bench" decode-lanes "$threads" | tr -d '\r')")
    done
    decoded[$threads]=$(median_of "${times[@]}")
    echo "frames decoded on $threads thread(s), no files: median of 5 ${decoded[$threads]} s"
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
    variant_median[$variant]=$(median_of "${times[@]}")
    echo "$variant: median of 3 ${variant_median[$variant]} s"
done
# On paper, for more cores: the lanes' work (A on one thread plus W) spread
# over N lanes as evenly as two lanes spread it here, after what L does.
python3 - "${decoded[1]}" "$(echo "$report" | awk '$1 == "W" {print $4}')" \
    "${variant_median[cold-lanes 2]}" "$(median 'L ')" "$(median 'A ')" <<'PY'
import sys
a1, w, lanes2, launch, a = map(float, sys.argv[1:])
efficiency = (a1 + w) / (2 * lanes2)
print("lanes' efficiency at 2: (A1 + W) / (2 x cold-lanes 2) = %.2f" % efficiency)
for cores in (4, 8):
    cold = launch + (a1 + w) / (cores * efficiency)
    print("on paper, %d cores: cold start ~ L + (A1 + W) / (%d x %.2f) = %.3f s = %.2f x A"
          % (cores, cores, efficiency, cold, cold / a))
PY
move_aside "$work"/target-variant "$tallix_cache/indexed"
sync
echo "cold start: $(wine "$bench" peak "$(winepath -w "$work/tallix-indexed.exe")" | tr -d '\r')"
if [ -n "${TALLIX_BENCH_OLD:-}" ]; then
    move_aside "$tallix_cache/old"
    sync
    echo "cold start, old: $(wine "$bench" peak "$(winepath -w "$work/tallix-old.exe")" | tr -d '\r')"
fi

# --- The progress window's cost ---------------------------------------------
# The application packed as a GUI launcher, with its progress window and with
# --no-progress-window: cold starts side by side in the same rounds, on an X
# server of their own (xvfb-run) so that the window is really shown; one
# watched cold start first makes sure it is. Without a window manager Wine
# waits up to 2 s for one at each map and unmap of a window it lets a
# manager handle, which no desktop pays: the prefix is told there is none.
# The window shows only once an unpack has run for 0.4 s, which the small
# application's cold start in lanes may not reach: the large one does.
window_product="tallix bench window"
window_app="$app"
[ "$large" != 1 ] || window_app="$large_app"
pack_window_pair "$window_app" start.exe "$window_product" ""
echo
echo "the progress window's cost: GUI launchers' cold starts under Xvfb, $rounds rounds alternating:"
window_table=$(xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c '
    set -euo pipefail
    root=$1 work=$2 rounds=$3 cache=$4 product=$5
    wine "$work/tallix-window.exe" </dev/null >/dev/null 2>&1 &
    launcher=$! shown=no
    while kill -0 "$launcher" 2>/dev/null; do
        ! xwininfo -root -tree 2>/dev/null | grep -qF "\"$product\"" || shown=yes
        sleep 0.05
    done
    wait "$launcher"
    if [ "$shown" != yes ]; then
        echo "bench-extract: the GUI launcher showed no progress window" >&2
        exit 1
    fi
    python3 "$root/tests/bench/whole_process_bench.py" --rounds "$rounds" \
        "tallix cold, --gui=$work/tallix-window.exe=$cache/window" \
        "tallix cold, --gui, no window=$work/tallix-no-window.exe=$cache/no-window"
' window-cost "$root" "$work" "$rounds" "$tallix_cache" "$window_product")
echo "$window_table"
echo "$window_table" | awk '{for (i = 1; i < NF; i++) if ($i == "median") m[NR] = $(i + 1)}
    END {printf "\nwindow shown / no window                      %.3f x\n", m[1] / m[2]}'
app_window_block
update_block
