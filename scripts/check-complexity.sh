#!/usr/bin/env bash
# Fails, naming each one, for a function of the product's C++ sources (the
# tests aside) with more than 60 statements or a cyclomatic complexity above
# 25 as pmccabe counts them, apart from the option tables listed below. A
# source pmccabe cannot parse fails too: its functions would go unmeasured.
#
# usage: scripts/check-complexity.sh
# Prints nothing and exits 0 when all is well; otherwise one line per problem
# on stderr and exit status 1.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

SOURCE_DIRECTORIES=(base format paths payload launcher buildinfo packer)
MAX_STATEMENTS=60
MAX_COMPLEXITY=25 # pmccabe's second column: every case of a switch counts

# Functions that only build a command's table of options, one entry per
# option: they grow with the options, not with decisions. "file function",
# the function as pmccabe names it.
OPTION_TABLES=(
    "packer/commands/pack/pack_options.cpp tallix::packCommand"
    "packer/commands/inspect_command.cpp tallix::anonymous_namespace::inspectCommand"
    "packer/commands/block_command.cpp tallix::anonymous_namespace::blockCommand"
)

fail() { printf 'check-complexity: %s\n' "$*" >&2; status=1; }

command -v pmccabe >/dev/null || {
    echo "check-complexity: pmccabe is not installed (Debian package pmccabe)" >&2
    exit 1
}

# pmccabe reads neither raw string literals, __attribute__((...)) nor nested
# namespace names (a::b): copies get an empty literal, nothing, and one
# name (a__b) in their place, on the same lines.
copies="$(mktemp -d)"
trap 'rm -rf "$copies"' EXIT
sources=()
while IFS= read -r source; do
    sources+=("$source")
    mkdir -p "$copies/$(dirname "$source")"
    perl -0777 -pe '
        s/(?<![A-Za-z0-9_])(?:u8|[uUL])?R"([^()\\\s"]{0,16})\((.*?)\)\1"/q{""} . ("\n" x ($2 =~ tr{\n}{}))/gse;
        s/__attribute__\s*(\(((?:[^()]++|(?1))*)\))//g;
        s/(namespace\s+\w+)::(\w+)/$1__$2/g;
    ' "$source" >"$copies/$source"
done < <(find "${SOURCE_DIRECTORIES[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)

status=0
measured="$(cd "$copies" && pmccabe "${sources[@]}" 2>"$copies/.errors")"
while IFS= read -r problem; do
    fail "$problem (pmccabe cannot parse the file, so its functions go unmeasured)"
done <"$copies/.errors"

declare -A exempt=()
for table in "${OPTION_TABLES[@]}"; do
    exempt["$table"]=1
done
# Columns: modified complexity, complexity, statements, first line, lines,
# "file(line): function".
while IFS=$'\t' read -r _ complexity statements line _ where; do
    file="${where%%(*}"
    function="${where#*: }"
    [ -z "${exempt["$file $function"]:-}" ] || continue
    if [ "$statements" -gt "$MAX_STATEMENTS" ] || [ "$complexity" -gt "$MAX_COMPLEXITY" ]; then
        fail "$file:$line: $function has $statements statements and complexity $complexity" \
            "(at most $MAX_STATEMENTS and $MAX_COMPLEXITY)"
    fi
done <<<"$measured"
exit "$status"
