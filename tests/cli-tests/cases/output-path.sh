# The output: required, in an existing directory, a regular file if it
# exists, and never one of the inputs or inside the application directory.
app_with app.exe data.txt
python3 "$CLI_TESTS/make_image.py" icon.png png 256 256
printf 'secret\n' >pass.txt
ln -s icon.png icon-link.png
mkfifo pipe
mkdir ux
run tallix-pack pack app
run tallix-pack pack app -o missing/dir/out.exe
mkdir taken.exe
run tallix-pack pack app -o taken.exe
run tallix-pack pack app -o ""
while read -r output options; do
    # shellcheck disable=SC2086 # the options are words
    run tallix-pack pack app -o "$output" $options --runtime none
done <<'TABLE'
app/data.txt
app/./new.exe
./app
pipe
/dev/null
icon.png --icon icon.png
icon-link.png --icon icon.png
pass.txt --sign-cert icon.png --sign-pass-file pass.txt
out.exe --depfile out.exe
out.exe --depfile app/data.txt
out.exe --depfile icon.png --icon icon.png
fine.exe --depfile fine.d --icon icon.png
ux/b
TABLE
# The work folder beside the output is emptied before a pack.
mkdir -p .w.exe.tallix-pack && cp -r app .w.exe.tallix-pack/
run tallix-pack pack .w.exe.tallix-pack/app -o w.exe
test ! -e missing && test -p pipe && test "$(cat app/data.txt)" = "content of data.txt" &&
    test "$(cat pass.txt)" = secret && test -L icon-link.png && test -f .w.exe.tallix-pack/app/app.exe

# block checks where it writes before compressing anything.
mkdir folder
run tallix-pack block app -o folder
run tallix-pack block app -o block.bin --index folder
run tallix-pack block app -o block.bin --index ./block.bin
run tallix-pack block app -o app/block.bin
test ! -e block.bin && test -z "$(ls folder)"
