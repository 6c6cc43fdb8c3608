# inspect needs exactly one file, and refuses any file without attached data:
# plain programs, directories, and the packer itself, whose code holds the
# bytes the search looks for.
printf 'MZ this is no launcher' >plain.exe
mkdir folder
cp "$(command -v tallix-pack)" tool
run tallix-pack inspect plain.exe
run tallix-pack inspect tool
run tallix-pack inspect missing.exe
run tallix-pack inspect folder
run tallix-pack inspect
run tallix-pack inspect plain.exe other.exe
run tallix-pack inspect plain.exe --frobnicate
run tallix-pack inspect plain.exe --extract
