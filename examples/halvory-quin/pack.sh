#!/usr/bin/env bash
# Packs the Halvory-Quin application as its release is built.
#   pack.sh APP_DIR OUTPUT.exe [more tallix-pack pack options]
# TALLIX_PACK names the packer (default: tallix-pack on PATH).
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: pack.sh APP_DIR OUTPUT.exe [options]" >&2
    exit 2
fi
app="$1"
output="$2"
shift 2
# A GUI launcher unless the caller chooses (the packer refuses both).
subsystem=(--gui)
for option in "$@"; do
    case "$option" in
    --console | --gui) subsystem=() ;;
    esac
done
exec "${TALLIX_PACK:-tallix-pack}" pack "$app" -o "$output" \
    --main Halvory-Quin.exe \
    --template '{CACHE_DIR}\Halvory\Halvory-Quin-1.1.0' \
    --company 'Orlisk Works' \
    --product Halvory-Quin \
    --app-version 1.1.0 \
    --description 'Halvory-Quin application' \
    --original-filename Halvory-Quin.exe \
    --internal-name Halvory-Quin \
    --manifest-name Zere \
    "${subsystem[@]}" \
    "$@"
