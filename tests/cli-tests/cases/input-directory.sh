# The application directory must exist, be a directory and hold a file.
run tallix-pack pack missing -o out.exe
touch plain-file
run tallix-pack pack plain-file -o out.exe
mkdir -p empty/only/subdirectories
run tallix-pack pack empty -o out.exe
test ! -e out.exe && test ! -e .out.exe.tallix-pack
