# A block found anywhere in a file is listed, verified and extracted; a
# changed byte fails the frame's checksum and a cut-off trailer hides the block.
app_with app.exe "data/read me.txt"
python3 -c 'import random,sys; sys.stdout.buffer.write(random.Random(5).randbytes(300000))' >app/data/random.bin
tallix-pack block app -o block.bin >/dev/null
python3 - <<'PY'
data = open("block.bin", "rb").read()
head, tail = b"MZ" + bytes(range(256)) * 9 + b"QVZ", b"\0" * 1001
open("whole.exe", "wb").write(head + data + tail)
flipped = bytearray(data)
flipped[len(data) // 2] ^= 0x20
open("flipped.exe", "wb").write(head + bytes(flipped) + tail)
open("cut.exe", "wb").write(head + data[:-8])
PY
run tallix-pack inspect whole.exe --verify --extract out >/dev/null
diff -r app out >&2 && echo "extracted files are identical" >&2
run tallix-pack inspect flipped.exe --verify >/dev/null
run tallix-pack inspect cut.exe
