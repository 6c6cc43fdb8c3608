#!/usr/bin/env bash
# The demo: packs the Halvory-Quin example with the installed tallix-pack and
# runs the single-file result under Wine.
#   TALLIX_OUT            install prefix holding bin/tallix-pack (default: out)
#   TALLIX_EXAMPLE_APP    the example's application directory
#                         (default: build/windows/examples/halvory-quin/app)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/common.sh"
out="${TALLIX_OUT:-$root/out}"
app="${TALLIX_EXAMPLE_APP:-$root/build/windows/examples/halvory-quin/app}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
launcher="$work/Halvory-Quin.exe"

echo "demo: packing $app"
TALLIX_PACK="$out/bin/tallix-pack" bash "$root/examples/halvory-quin/pack.sh" "$app" "$launcher"
prepare_wine_prefix
echo "demo: running Halvory-Quin.exe \"an argument\" another under Wine"
status=0
"$root/scripts/wine-run" "$launcher" "an argument" another </dev/null || status=$?
echo "demo: exit status $status"
