# inspect tells whether a launcher shows the progress window on a long first
# start, and the splash it stores: a GUI launcher, one with --splash, one
# with --no-progress-window, a console launcher, and a splash damaged in the
# file (the launcher would show its default layout instead).
app_with app.exe
mkdir runtime
python3 - <<'PY'
import struct
# Headers up to 0x400, one .text section of 0x200 bytes at 0x1000.
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
python3 "$CLI_TESTS/make_image.py" splash.png png 120 80
tallix-pack pack app -o gui.exe --runtime runtime --gui --quiet
tallix-pack pack app -o splash.exe --runtime runtime --gui --splash splash.png --quiet
tallix-pack pack app -o no-window.exe --runtime runtime --gui --no-progress-window --quiet
tallix-pack pack app -o console.exe --runtime runtime --console --quiet
python3 - <<'PY'
data = bytearray(open("splash.exe", "rb").read())
# The splash's header: size 40, width 120, height 80; a width of 0 is refused.
header = data.find(bytes.fromhex("28000000" "78000000" "50000000"))
data[header + 4] = 0
open("damaged-splash.exe", "wb").write(data)
PY
for launcher in gui splash no-window console damaged-splash; do
    echo "$launcher.exe:"
    tallix-pack inspect "$launcher.exe" | grep -E '^(Launch options|Progress window|Splash):'
done
