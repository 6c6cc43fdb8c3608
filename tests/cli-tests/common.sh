# Helpers for the cases of the tallix-pack command-line tests (sourced).

# skip REASON: this case cannot run here; CTest shows it as skipped.
skip() {
    echo "$*"
    exit 77
}

# run COMMAND...: runs one command of a grouped case and notes its exit
# status on standard error after its own messages.
run() {
    local status=0
    "$@" || status=$?
    echo "[exit $status]" >&2
}

# unprivileged COMMAND...: runs COMMAND as an ordinary user, so that file
# permissions apply even when the tests run as root.
unprivileged() {
    if [ "$(id -u)" -ne 0 ]; then
        "$@"
    elif command -v setpriv >/dev/null; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
    else
        skip "running as root and setpriv is missing: permissions cannot be tested"
    fi
}

# pe_program FILE [console|gui|native] [x64|x86|arm64] [exe|dll]: the
# headers of a Windows program (default: an x86-64 console program).
pe_program() {
    python3 "$CLI_TESTS/make_pe.py" "$@"
}

# app_with FILE...: an application directory "app" holding the given files
# (names relative to it): an .exe is an x86-64 console program, any other
# file holds a little text.
app_with() {
    mkdir -p app
    local file
    for file in "$@"; do
        mkdir -p "app/$(dirname "$file")"
        case "$file" in
        *.exe) pe_program "app/$file" ;;
        *) printf 'content of %s\n' "$file" >"app/$file" ;;
        esac
    done
}
