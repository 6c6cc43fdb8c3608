# Names that differ only in letter case are one file on Windows, which
# upper-cases names before it compares them (beyond ASCII too): refused,
# naming both files.
app_with main.exe Readme.txt README.TXT data/a.dll
run tallix-pack pack app -o out.exe --runtime no-runtime
rm -r app
app_with main.exe 'lib/Ä.txt' 'lib/ä.txt'
run tallix-pack block app -o block.bin
rm -r app
# Windows keeps these apart (ß has no one-letter upper case), and folders
# equal but for case merge into one.
app_with main.exe 'ß.txt' 'ss.txt' 'Data/a.txt' 'data/b.txt'
run tallix-pack block app -o block.bin
# A file named like a directory of other files cannot be created at all.
rm -r app
app_with main.exe Data data/a.dll
run tallix-pack block app -o block.bin
