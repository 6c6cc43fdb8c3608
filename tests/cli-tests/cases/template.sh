# The directory template is checked when packing, not when a user starts
# the launcher.
app_with app.exe
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\{NOPE}\x'
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\{}'
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\{PRODUCT'
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\{A{TEMP}}'
run tallix-pack pack app -o out.exe --template ''
# A value the template puts into a path must be a valid directory name.
run tallix-pack pack app -o out.exe --company 'A/B'
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\{PRODUCT}' --product 'Tools.'
# Names compare without case; a shared location only gets a warning.
run tallix-pack pack app -o out.exe --template '{cache_dir}\x' --runtime none
run tallix-pack pack app -o out.exe --template 'C:\Shared\{PRODUCT}' --runtime none
run tallix-pack pack app -o out.exe --template '{HOME}x' --runtime none
# A full path after the start, a new folder on every start, a bad --arg.
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\x\{PROGRAM_BASE}.files' --runtime none
run tallix-pack pack app -o out.exe --template '{TEMP}\{PRODUCT}-{PID}' --clean-old-versions --runtime none
run tallix-pack pack app -o out.exe --arg '{APP_DIR}\{NOPE}'
# A misspelt placeholder is answered with the one meant, {APP_DIR} in --arg too.
run tallix-pack pack app -o out.exe --template '{CacheDir}\x'
run tallix-pack pack app -o out.exe --arg '{APPDIR}\x'
# What becomes a folder name must be one: a device name in a value or in the
# template's own text, a trailing dot or space, each refused with the reason
# and the option to change; a ".." only warned of, as it may be meant.
run tallix-pack pack app -o out.exe --company CON
run tallix-pack pack app -o out.exe --company 'Example Co.'
run tallix-pack pack app -o out.exe --product 'com1.x' --company Example
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\Example.\{PRODUCT}'
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\Example\{PRODUCT} '
run tallix-pack pack app -o out.exe --template '{CACHE_DIR}\nul\{PRODUCT}'
run tallix-pack pack app -o out.exe --template '{PROGRAM_DIR}\..\{PRODUCT}' --runtime none
# Names merely next to a device name are fine: CONSOLE, and AUX-1.0.0.
run tallix-pack pack app -o out.exe --company CONSOLE --product AUX --runtime none
