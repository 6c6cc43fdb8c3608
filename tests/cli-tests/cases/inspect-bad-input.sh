# inspect needs exactly one file, and refuses any file that is no launcher:
# no PE headers, a program without the constants section, a directory, and
# the packer itself, whose code holds the magic and the section's name.
printf 'MZ this is no launcher' >plain.exe
pe_program program.exe
mkdir folder
cp "$(command -v tallix-pack)" tool
run tallix-pack inspect plain.exe
run tallix-pack inspect program.exe
run tallix-pack inspect tool
run tallix-pack inspect missing.exe
run tallix-pack inspect folder
run tallix-pack inspect
run tallix-pack inspect plain.exe other.exe
run tallix-pack inspect plain.exe --frobnicate
run tallix-pack inspect plain.exe --extract
# Only a regular file is read, and --extract must be a directory.
mkfifo pipe
run timeout 20 tallix-pack inspect pipe
run tallix-pack inspect plain.exe --extract plain.exe
