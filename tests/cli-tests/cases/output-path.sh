# The output: required, in an existing directory, not a directory itself.
app_with app.exe
run tallix-pack pack app
run tallix-pack pack app -o missing/dir/out.exe
mkdir taken.exe
run tallix-pack pack app -o taken.exe
run tallix-pack pack app -o ""
test ! -e missing
