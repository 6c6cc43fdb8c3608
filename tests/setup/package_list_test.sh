#!/usr/bin/env bash
# The package check passes on the committed list and, with one package taken
# out, names the tool that package provides and the package to add.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
check="$root/scripts/check-packages.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

if ! output="$(bash "$check" 2>&1)" || [ -n "$output" ]; then
    echo "FAIL: the committed list: $output"
    failures=$((failures + 1))
fi

# package removed | text the message must hold
while IFS='|' read -r package expected; do
    grep -vx "$package" "$root/scripts/packages.txt" >"$work/packages.txt"
    status=0
    output="$(bash "$check" "$work/packages.txt" 2>&1)" || status=$?
    if [ "$status" -ne 1 ] || [[ "$output" != *"$expected"* ]]; then
        echo "FAIL: without $package: status $status, expected a line holding \"$expected\", got:"
        echo "$output"
        failures=$((failures + 1))
    fi
done <<'CASES'
wine|'wine' (/usr/bin/wine-stable) comes from the Debian package 'wine'
osslsigncode|'osslsigncode' (/usr/bin/osslsigncode) comes from the Debian package 'osslsigncode'
pmccabe|'pmccabe' (/usr/bin/pmccabe) comes from the Debian package 'pmccabe'
python3-pefile|the Python module 'pefile' (/usr/lib/python3/dist-packages/pefile.py) comes from the Debian package 'python3-pefile'
g++-mingw-w64-x86-64-posix|'x86_64-w64-mingw32-g++-posix' (/usr/bin/x86_64-w64-mingw32-g++-posix) comes from the Debian package 'g++-mingw-w64-x86-64-posix'
xvfb|'Xvfb' (/usr/bin/Xvfb) comes from the Debian package 'xvfb'
imagemagick|'import' (/usr/bin/import-im6.q16) comes from the Debian package 'imagemagick-6.q16'
CASES
exit $((failures > 0))
