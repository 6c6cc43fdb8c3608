# Sourced by the scripts: the one place for the quiet configure step and for
# the project's Wine settings.

# Runs cmake with the arguments quietly; shows the log only when it fails.
configure_quietly() {
    local log status=0
    log="$(mktemp)"
    cmake "$@" >"$log" 2>&1 || status=$?
    [ "$status" -eq 0 ] || cat "$log" >&2
    rm -f "$log"
    return "$status"
}

# The project's own Wine prefix, quiet, without the Mono and Gecko installers
# a new prefix would otherwise offer.
tallix_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$tallix_root/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# A new prefix announces itself on its first start; create it quietly first.
# It reports Windows 7, which Node.js 20 (a test's real application) refuses,
# so it is set to Windows 10 once.
prepare_wine_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "preparing the Wine prefix $WINEPREFIX" >&2
        wineboot -i </dev/null >/dev/null 2>&1 || true
        wineserver -w
    fi
    if [ ! -f "$WINEPREFIX/.tallix-win10" ]; then
        wine winecfg -v win10 </dev/null >/dev/null 2>&1 && touch "$WINEPREFIX/.tallix-win10"
        wineserver -w
    fi
}

# bench_payload WORK: the benchmarks' payload of Wine's PE files in WORK/payload
# (scripts/bench_payload.py), made once.
bench_payload() {
    local payload="$1/payload"
    if [ ! -f "$1/payload.stamp" ]; then
        rm -rf "$payload"
        python3 "$tallix_root/scripts/bench_payload.py" \
            /usr/lib/x86_64-linux-gnu/wine/x86_64-windows "$payload"
        touch "$1/payload.stamp"
    fi
}
