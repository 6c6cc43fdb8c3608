# --icon takes any readable PNG or .ico: the sizes it lacks are resized from
# its largest image. What cannot be read is refused, with the cause, before
# any work.
app_with app.exe
stand_in_runtime
python3 "$CLI_TESTS/make_image.py" small.png png 128 128
python3 "$CLI_TESTS/make_image.py" wide.png png 512 256
python3 "$CLI_TESTS/make_image.py" three.ico ico 16 32 48
python3 "$CLI_TESTS/make_image.py" sizes.ico ico 16 24 32 48 64 128 200
printf 'not an image' >text.png
head -c 40 three.ico >cut.ico
run tallix-pack pack app -o out.exe --icon missing.png
run tallix-pack pack app -o out.exe --icon text.png
run tallix-pack pack app -o out.exe --icon cut.ico
for icon in small.png wide.png three.ico sizes.ico; do
    run tallix-pack pack app -o out.exe --runtime runtime --quiet --icon "$icon"
done
