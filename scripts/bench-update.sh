# Update benchmark, sourced by scripts/bench-extract.sh (which sets work,
# app, pack, windows, rounds, tallix_cache, move_aside and starts the
# wineserver): the application as v1, and v2 = the same with four files
# changed (64 KiB rewritten in each) and one added, packed with another
# --app-version of the same company and product, so that v2 unpacks into a
# sibling of v1's folder. Whole processes under Wine, in the same rounds,
# all with the content check: v2's warm start; v2's first start beside v1's
# folder (v1 started once before, v2's folder moved aside before each run);
# v2 after one of its files was damaged (a repair). Then the medians' ratios
# and the disk both folders take (du counts a hard-linked file once within
# one invocation).

# The four changed files: the 1st, 3rd, 5th and 7th of the files of 1 MiB or
# more by path, mshtml.dll and start.exe left out (a change in the largest
# file would dwarf the others).
make_update_app() { # APP V2
    rm -rf "$2"
    cp -al "$1" "$2"
    python3 - "$2" <<'PY'
import os
import random
import sys

v2 = sys.argv[1]
REWRITTEN = 64 * 1024
ADDED = 1024 * 1024
rng = random.Random(25)
files = sorted(os.path.relpath(os.path.join(d, n), v2)
               for d, _, names in os.walk(v2) for n in names)
large = [f for f in files if f not in ("mshtml.dll", "start.exe")
         and os.path.getsize(os.path.join(v2, f)) >= 1024 * 1024]
changed = large[0:8:2]
for name in changed:
    path = os.path.join(v2, name)
    with open(path, "rb") as source:
        data = bytearray(source.read())
    middle = len(data) // 2
    data[middle:middle + REWRITTEN] = rng.randbytes(REWRITTEN)
    os.unlink(path)  # a hard link to v1's file: never written through
    with open(path, "wb") as target:
        target.write(data)
with open(os.path.join(v2, "p00", "added.bin"), "wb") as added:
    added.write(rng.randbytes(ADDED))
print(sum(os.path.getsize(os.path.join(v2, f)) for f in changed) + ADDED)
print(os.path.join(v2, changed[0]))
PY
}

update_block() {
    local v2_app="$work/app-update-v2" folder="$tallix_cache/update" info changed_bytes
    info=$(make_update_app "$app" "$v2_app")
    changed_bytes=$(echo "$info" | sed -n 1p)
    local version
    for version in 1 2; do
        local source="$app"
        [ "$version" = 1 ] || source="$v2_app"
        "$pack" pack "$source" -o "$work/tallix-update-v$version.exe" --main start.exe --console \
            --quiet --company "tallix bench" --product update --app-version "$version.0.0" \
            --check content --template "{CACHE_DIR}\\tallix-bench\\update\\{PRODUCT}-{VERSION}" \
            --runtime "$windows/runtime"
    done
    move_aside "$folder"
    local v1_folder="$folder/update-1.0.0" v2_folder="$folder/update-2.0.0"
    wine "$work/tallix-update-v1.exe" </dev/null >/dev/null 2>&1
    # The same file of v2's folder as the one changed first in v2's payload.
    local damaged
    damaged=$(echo "$info" | sed -n 2p)
    damaged="$v2_folder/${damaged#"$v2_app"/}"
    echo
    echo "updates: v1 = the application, v2 = four files changed (64 KiB each) and one added;"
    echo "whole processes under Wine, content check, $rounds rounds alternating:"
    local update_table
    # v2's folder moved aside goes out of the product's folder: another
    # version's folder there is what an update may take files from.
    mkdir -p "$trash"
    update_table=$(python3 "$root/tests/bench/whole_process_bench.py" --rounds "$rounds" \
        --aside "$trash" \
        "v2 warm=$work/tallix-update-v2.exe" \
        "v2 first start beside v1=$work/tallix-update-v2.exe=$v2_folder" \
        "v2 repair of one file=$work/tallix-update-v2.exe=damage:$damaged")
    echo "$update_table"
    local v1_bytes both_bytes
    v1_bytes=$(du -s --block-size=1 "$v1_folder" | cut -f1)
    both_bytes=$(du -s --block-size=1 "$v1_folder" "$v2_folder" | awk '{s += $1} END {print s}')
    python3 - "$update_table" "$v1_bytes" "$both_bytes" "$changed_bytes" <<'PY'
import re
import sys
table, v1, both, changed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
median = {m.group(1).strip(): float(m.group(2))
          for m in re.finditer(r"^(.*?) median +([0-9.]+) s", table, re.M)}
warm = median["v2 warm"]
print()
print("v2 first start beside v1 / v2 warm            %.2f x  (aim <= 1.5)"
      % (median["v2 first start beside v1"] / warm))
print("v2 repair of one file / v2 warm               %.2f x  (aim <= 1.3)"
      % (median["v2 repair of one file"] / warm))
print("disk (du): v1's folder %.1f MB, both folders %.1f MB, v2 adds %.1f MB;"
      % (v1 / 1e6, both / 1e6, (both - v1) / 1e6))
print("  v2's changed and added files %.1f MB: v2 adds / those  %.2f x  (aim <= 1.05)"
      % (changed / 1e6, (both - v1) / changed))
PY
    move_aside "$folder"
}
