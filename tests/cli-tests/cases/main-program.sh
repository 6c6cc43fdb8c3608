# Choosing the program to start: --main must stay inside the directory, and
# without it exactly one .exe at the top is needed.
app_with setup.exe tool.exe lib/helper.dll bin/inner.exe
run tallix-pack pack app -o out.exe
run tallix-pack pack app -o out.exe --main ../elsewhere.exe
run tallix-pack pack app -o out.exe --main /bin/sh
run tallix-pack pack app -o out.exe --main bin/../../app.exe
run tallix-pack pack app -o out.exe --main missing.exe
rm app/setup.exe app/tool.exe
run tallix-pack pack app -o out.exe
# Named explicitly, a program below the top works, with a warning.
run tallix-pack pack app -o out.exe --main bin/inner.exe --runtime no-runtime
