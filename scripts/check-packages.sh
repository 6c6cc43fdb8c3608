#!/usr/bin/env bash
# Checks that every external command the scripts, the CMake files, the tests
# and the packer call is installed, and that the Debian package it comes from
# is listed in the package list or brought in by a listed package. A machine
# that happens to have a tool from elsewhere would otherwise hide a missing
# entry until the first new machine fails.
#
# usage: scripts/check-packages.sh [PACKAGE_LIST]   (default scripts/packages.txt)
# Prints nothing and exits 0 when all is well; otherwise one line per problem
# on stderr and exit status 1.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
list="${1:-$here/packages.txt}"

# The commands, looked up where Debian installs them: a copy earlier on PATH
# (pyenv, /usr/local) does not exist on a new machine.
TOOLS=(
    wine wineserver wineboot
    x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix
    x86_64-w64-mingw32-windres x86_64-w64-mingw32-ar x86_64-w64-mingw32-ranlib
    cmake ctest cpack ninja g++ zstd osslsigncode clang-format pmccabe perl dpkg-source dpkg-deb
    python3 Xvfb xwininfo import 7z xz
)
# Python modules the tests import with Debian's interpreter.
PYTHON_MODULES=(pefile)
SYSTEM_PATH=/usr/sbin:/usr/bin:/sbin:/bin

fail() { printf 'check-packages: %s\n' "$*" >&2; status=1; }

listed=()
while read -r wanted; do
    case "$wanted" in '' | '#'*) continue ;; esac
    listed+=("$wanted")
done <"$list"

# Every package the listed ones pull in, as apt installs them (no recommends).
declare -A closure=()
while read -r name; do
    closure["${name%%:*}"]=1
done < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "${listed[@]}" 2>/dev/null | grep -v '^ ')

status=0
# What each command or module is called in messages, and where it was found.
whats=()
paths=()
for tool in "${TOOLS[@]}"; do
    path="$(PATH=$SYSTEM_PATH command -v "$tool" || true)"
    if [ -z "$path" ]; then
        fail "'$tool' is not installed; add the Debian package that provides it to $list"
        continue
    fi
    whats+=("'$tool'")
    paths+=("$path")
done
for module in "${PYTHON_MODULES[@]}"; do
    path="$(/usr/bin/python3 -c "import $module; print($module.__file__)" 2>/dev/null || true)"
    if [ -z "$path" ]; then
        fail "the Python module '$module' is missing for /usr/bin/python3; add python3-$module to $list"
        continue
    fi
    whats+=("the Python module '$module'")
    paths+=("$path")
done

# One dpkg query for every file: it is slow per call.
declare -A owner=()
files=()
for path in "${paths[@]}"; do
    files+=("$path" "$(readlink -f "$path")")
done
while IFS= read -r line; do
    # "package[:arch][, other]: /path"; diversion notes have no such shape.
    [[ "$line" =~ ^([^\ :,]+)[^\ ]*:\ (/.*)$ ]] || continue
    owner["${BASH_REMATCH[2]}"]="${BASH_REMATCH[1]}"
done < <(dpkg -S "${files[@]}" 2>/dev/null || true)

# The link the user runs is checked first, then what it resolves to (an
# alternatives link belongs to no package); one line per command at most.
for i in "${!paths[@]}"; do
    what="${whats[$i]}"
    path="${paths[$i]}"
    resolved="$(readlink -f "$path")"
    owned=""
    for file in "$path" "$resolved"; do
        package="${owner[$file]:-}"
        [ -n "$package" ] || continue
        owned=1
        if [ -z "${closure[$package]:-}" ]; then
            fail "$what ($file) comes from the Debian package '$package', which $list neither lists nor brings in: add '$package' to it"
            break
        fi
    done
    [ -n "$owned" ] || fail "$what ($path) belongs to no Debian package: install it from a package listed in $list"
done
exit "$status"
