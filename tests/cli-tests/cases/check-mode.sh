# The warm check a launcher makes is one of its launch options, which
# inspect lists: none for the default content check.
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
struct.pack_into("<H", image, 0x98 + 68, 3)  # console
struct.pack_into("<I", image, 0x98 + 108, 16)  # data directories
struct.pack_into("<8sIIII12xI", image, 0x188, b".text", 0x10, 0x1000, 0x200, 0x400, 0x60000020)
for name in ("launcher-console.exe", "launcher-gui.exe"):
    open("runtime/" + name, "wb").write(image)
PY
python3 "$CLI_TESTS/make_image.py" runtime/default-icon.png png 256 256
for options in "--check quick" "--check content" "--check quick --clean-old-versions"; do
    # shellcheck disable=SC2086
    tallix-pack pack app -o out.exe --runtime runtime --quiet $options
    echo "$options:" >&2
    tallix-pack inspect out.exe | grep '^Launch options:' >&2 || echo "(no launch options)" >&2
done
