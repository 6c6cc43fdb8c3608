# Option values out of range and unknown options.
app_with app.exe
run tallix-pack pack app -o out.exe --frobnicate
run tallix-pack pack app other -o out.exe
run tallix-pack pack app -o out.exe --level 0
run tallix-pack pack app -o out.exe --level 23
run tallix-pack pack app -o out.exe --jobs 0
run tallix-pack pack app -o out.exe --jobs many
run tallix-pack pack app -o out.exe --window-log 28
run tallix-pack pack app -o out.exe --window-log 9
run tallix-pack pack app -o out.exe --console=yes
run tallix-pack pack app -o out.exe --level
run tallix-pack pack app -o out.exe --manifest-name 'My App'
run tallix-pack pack app -o out.exe --company $'two\nlines'
run tallix-pack pack app -o out.exe --description $'\xff\xfe'
run tallix-pack pack app -o out.exe --sign-key key.pem
run tallix-pack pack app -o out.exe --sign-cert missing.pem
run tallix-pack pack app -o out.exe --check fast
run tallix-pack pack app -o out.exe --check quick --no-index
