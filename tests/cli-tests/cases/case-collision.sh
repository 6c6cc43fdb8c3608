# Names that differ only in letter case are one file on Windows: both are
# stored, with a warning naming them.
app_with main.exe Readme.txt README.TXT data/a.dll
run tallix-pack pack app -o out.exe --runtime no-runtime
run tallix-pack block app -o block.bin
# A file named like a directory of other files cannot be created at all.
app_with Data
run tallix-pack block app -o block.bin
