# inspect finds the attached data through the launcher's section table and
# constants: a launcher made from a stand-in image is listed, verified and
# extracted; a changed byte fails the frame's checksum; a file cut short,
# PE headers cut short, a damaged constants table, one flipped bit in the
# directory template and constants of the format before the checksum make a
# damaged launcher. A bare block, as `tallix-pack block` writes it, is read
# as well.
app_with app.exe "data/read me.txt"
python3 -c 'import random,sys; sys.stdout.buffer.write(random.Random(5).randbytes(300000))' >app/data/random.bin
stand_in_runtime
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
