# --splash and --icon read only regular files, and read an image's size from
# its header before decoding a pixel: a small PNG declaring 16000x16000
# pixels is refused at once, also in 1 GB of address space; a PNG that does
# not decode says so.
command -v prlimit >/dev/null || skip "prlimit is missing"
# 1 GB of address space, where the tool starts in it (a sanitizer's shadow
# memory does not fit).
limit=(prlimit --as=1000000000)
bash -c '"$@" >/dev/null 2>&1; exit $?' - "${limit[@]}" tallix-pack pack --help 2>/dev/null ||
    limit=()
app_with app.exe
stand_in_runtime
mkfifo pipe
mkdir folder
python3 - <<'PY'
import struct, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
def png(width, height, idat):
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", idat)
            + chunk(b"IEND", b""))
# 64 MiB of rows of zeros, which deflate packs into 64 KiB.
squeeze = zlib.compressobj(9)
idat = b"".join(squeeze.compress(bytes(1 << 20)) for _ in range(64)) + squeeze.flush()
open("bomb.png", "wb").write(png(16000, 16000, idat))
open("cut.png", "wb").write(png(100, 100, idat[:50]))
PY
for option in --splash --icon; do
    for image in bomb.png pipe folder cut.png; do
        run "${limit[@]}" timeout 60 \
            tallix-pack pack app -o out.exe --runtime runtime --gui --quiet "$option" "$image"
    done
done
python3 "$CLI_TESTS/make_image.py" wide.png png 801 600
run tallix-pack pack app -o out.exe --runtime runtime --gui --splash wide.png
test ! -e out.exe
