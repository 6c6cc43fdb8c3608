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

# stand_in_runtime: a folder "runtime" the packer takes for a launcher
# runtime: two small x86-64 images (headers up to 0x400, one .text section
# of 0x200 bytes at 0x1000), a console and a GUI one, and the default icon.
stand_in_runtime() {
    mkdir -p runtime
    python3 - <<'PY'
import struct
image = bytearray(0x600)
image[0:2] = b"MZ"
struct.pack_into("<I", image, 0x3C, 0x80)
struct.pack_into("<4sHHIIIHH", image, 0x80, b"PE\0\0", 0x8664, 1, 0, 0, 0, 240, 0x22)
struct.pack_into("<H", image, 0x98, 0x20B)
struct.pack_into("<II", image, 0x98 + 32, 0x1000, 0x200)  # section and file alignment
struct.pack_into("<II", image, 0x98 + 56, 0x2000, 0x400)  # SizeOfImage, SizeOfHeaders
struct.pack_into("<I", image, 0x98 + 108, 16)  # data directories
struct.pack_into("<8sIIII12xI", image, 0x188, b".text", 0x10, 0x1000, 0x200, 0x400, 0x60000020)
for name, subsystem in (("launcher-console.exe", 3), ("launcher-gui.exe", 2)):
    struct.pack_into("<H", image, 0x98 + 68, subsystem)
    open("runtime/" + name, "wb").write(image)
PY
    python3 "$CLI_TESTS/make_image.py" runtime/default-icon.png png 256 256
}
