# Choosing the program to start: --main must stay inside the directory, and
# without it exactly one .exe at the top is needed.
app_with setup.exe tool.exe lib/helper.dll bin/inner.exe
run tallix-pack pack app -o out.exe
run tallix-pack pack app -o out.exe --main ../elsewhere.exe
run tallix-pack pack app -o out.exe --main /bin/sh
run tallix-pack pack app -o out.exe --main bin/../../app.exe
run tallix-pack pack app -o out.exe --main missing.exe
# Windows opens TOOL.EXE as tool.exe: one such file is the program.
run tallix-pack pack app -o out.exe --main TOOL.EXE --runtime no-runtime
rm app/setup.exe app/tool.exe
run tallix-pack pack app -o out.exe
# Named explicitly, a program below the top works, with a warning.
run tallix-pack pack app -o out.exe --main bin/inner.exe --runtime no-runtime
# Only an x86-64 Windows program for the GUI or the console can be started.
: >app/empty.exe
printf 'MZ but nothing more' >app/short.exe
printf '#!/bin/sh\n' >app/script.exe
pe_program app/x86.exe console x86
pe_program app/arm.exe gui arm64
pe_program app/library.exe console x64 dll
pe_program app/driver.exe native
# An x86-64 program Windows would not load: cut short in its headers or in a section.
pe_program app/cut-table.exe cut-table
pe_program app/cut-section.exe gui cut-section
printf '@echo off\r\n' >app/run.cmd
printf '@echo off\r\n' >app/RUN.BAT
for main in empty.exe short.exe script.exe x86.exe arm.exe library.exe driver.exe cut-table.exe \
    cut-section.exe run.cmd RUN.BAT; do
    run tallix-pack pack app -o out.exe --main "$main"
done
