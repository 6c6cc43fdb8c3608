# Names Windows opens as devices whatever follows them, refused one by one;
# names that merely begin like a device are packed.
for name in 'CONIN$' 'conout$.log' 'con .txt' 'Nul  .tar.gz' 'LPT0' 'COM¹.dat' 'aux'; do
    app_with app.exe
    : >"app/$name"
    run tallix-pack block app -o block.bin
    rm -r app
done
app_with app.exe 'console.txt' 'conin.txt' 'com10' 'lpt' 'con_.txt' 'x/nul_x'
run tallix-pack block app -o block.bin >/dev/null
# Names Windows cannot hold as they are, in a file or in a folder, refused
# with the name that breaks the rule.
for name in 'back\slash.txt' 'dir\x/inner.txt' 'colon:name' $'tab\tname' 'ends in a dot.' \
    '.tallix-onefile-folder' 'lib/.Tallix-Onefile-FOLDER'; do
    app_with app.exe "$name"
    run tallix-pack block app -o block.bin
    rm -r app
done
# The launcher's own names (its marker, its quick check's record, its
# temporaries) at any depth and in any letter case.
for name in 'data/~tallix-8-0.tmp' '~TALLIX-x.TMP' 'lib/deep/.TALLIX-ONEFILE-CHECK'; do
    app_with app.exe "$name"
    run tallix-pack block app -o block.bin
    rm -r app
done
