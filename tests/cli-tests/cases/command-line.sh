# One command-line layer for every command: the same error style, a
# suggestion for a misspelt option or command, --help wherever an option may
# stand, and the same range checks in pack and block.
app_with app.exe
printf 'MZ' >plain.exe
run tallix-pack pakc app
run tallix-pack pack app -o out.exe --compnay X
run tallix-pack pack app -o out.exe -level 3
run tallix-pack pack app -o out.exe --product
run tallix-pack pack --frobnicate --help >/dev/null
run tallix-pack block app -o block.bin --levle 3
run tallix-pack block app -o block.bin --level 0
run tallix-pack block app -o block.bin --jobs many
run tallix-pack block app
run tallix-pack block app -o block.bin extra
run tallix-pack block app -o ""
run tallix-pack block --help >/dev/null
run tallix-pack inspect plain.exe --verfy
run tallix-pack inspect plain.exe --verify=yes
run tallix-pack inspect --extract out
run tallix-pack inspect plain.exe --help >/dev/null
test ! -e out.exe && test ! -e block.bin && test ! -e out
# An option's value is never read as an option, "--help" included; options
# that contradict each other are refused by name.
stand_in_runtime
run tallix-pack pack app -o args.exe --runtime runtime --arg --help --arg -h --company --gui --quiet
tallix-pack inspect args.exe | grep -E '^(Company:|Leading arguments:|  ")' >&2
run tallix-pack pack app -o both.exe --runtime runtime --gui --console
test ! -e both.exe
