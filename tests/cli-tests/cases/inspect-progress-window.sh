# inspect tells whether a launcher shows the progress window on a long first
# start, and the splash it stores: a GUI launcher, one with --splash, one
# with --no-progress-window, a console launcher, and a splash damaged in the
# file (the launcher would show its default layout instead). The splash is
# stored compressed: 62 bytes, not the 38,440 of its pixels.
app_with app.exe
stand_in_runtime
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
# Or a byte of its frame: the header still reads, the pixels do not decode.
data[header + 4] = 120
data[header + 50] ^= 0x55
open("damaged-frame.exe", "wb").write(data)
PY
for launcher in gui splash no-window console damaged-splash damaged-frame; do
    echo "$launcher.exe:"
    tallix-pack inspect "$launcher.exe" | grep -E '^(Launch options|Progress window|Splash):'
done
