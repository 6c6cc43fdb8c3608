# inspect finds the attached data through the launcher's section table and
# constants: a launcher made from a stand-in image is listed, verified and
# extracted; a changed byte fails the frame's checksum; a file cut short,
# PE headers cut short, a damaged constants table, one flipped bit in the
# directory template and constants of the format before the checksum make a
# damaged launcher. A bare block, as `tallix-pack block` writes it, is read
# as well.
app_with app.exe "data/read me.txt"
python3 -c 'import random,sys; sys.stdout.buffer.write(random.Random(5).randbytes(300000))' >app/data/random.bin
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
tallix-pack pack app -o whole.exe --runtime runtime --quiet
tallix-pack block app -o block.bin >/dev/null
python3 - <<'PY'
data = open("whole.exe", "rb").read()
block = data.find(b"QVZ\x28\xb5\x2f\xfd")
flipped = bytearray(data)
flipped[block + 150000] ^= 0x20
open("flipped.exe", "wb").write(flipped)
open("cut.exe", "wb").write(data[:block + 150000])
open("headers.exe", "wb").write(data[:0x100])
constants = bytearray(data)
constants[data.find(b"TLXCONST")] ^= 0x01
open("constants.exe", "wb").write(constants)
template = bytearray(data)
template[data.find("{CACHE_DIR}".encode("utf-16-le"))] ^= 0x01
open("template.exe", "wb").write(template)
old = bytearray(data)
old[data.find(b"TLXCONST") + 8] = 1
open("old-format.exe", "wb").write(old)
open("cut-block.bin", "wb").write(open("block.bin", "rb").read()[:-8])
PY
run tallix-pack inspect whole.exe --verify --extract out >/dev/null
diff -r app out >&2 && echo "extracted files are identical" >&2
run tallix-pack inspect block.bin --verify >/dev/null
run tallix-pack inspect flipped.exe --verify >/dev/null
run tallix-pack inspect cut.exe
run tallix-pack inspect headers.exe
run tallix-pack inspect constants.exe
run tallix-pack inspect template.exe --verify
run tallix-pack inspect old-format.exe
run tallix-pack inspect cut-block.bin
