# A file the packer cannot read, or that is not a regular file, is bad input
# reported before any compression; nothing is left behind.
app_with app.exe data/secret.bin
chmod 000 app/data/secret.bin
mkdir -m 777 shared
run unprivileged tallix-pack pack app -o shared/out.exe
chmod 644 app/data/secret.bin
mkfifo app/data/pipe
run tallix-pack pack app -o out.exe
rm app/data/pipe
ln -s nowhere app/data/dangling
run tallix-pack pack app -o out.exe
test -z "$(ls -A shared)" && test ! -e out.exe && test ! -e .out.exe.tallix-pack
