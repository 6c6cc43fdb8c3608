# --icon takes a square PNG of at least 256 pixels or an .ico holding the
# seven PNG sizes; anything else is refused before any work.
app_with app.exe
python3 "$CLI_TESTS/make_image.py" small.png png 128 128
python3 "$CLI_TESTS/make_image.py" wide.png png 512 256
python3 "$CLI_TESTS/make_image.py" three.ico ico 16 32 48
python3 "$CLI_TESTS/make_image.py" sizes.ico ico 16 24 32 48 64 128 200
printf 'not an image' >text.png
run tallix-pack pack app -o out.exe --icon missing.png
run tallix-pack pack app -o out.exe --icon text.png
run tallix-pack pack app -o out.exe --icon small.png
run tallix-pack pack app -o out.exe --icon wide.png
run tallix-pack pack app -o out.exe --icon three.ico
run tallix-pack pack app -o out.exe --icon sizes.ico
