# Versions: 1 to 4 dot-separated numbers, each at most 65535.
app_with app.exe
for version in "" 1.2.3.4.5 1..2 .1 1. 1.65536 99999999999 v1.0 1.2-beta " 1.0" +1; do
    run tallix-pack pack app -o out.exe --app-version "$version"
done
run tallix-pack pack app -o out.exe --app-version 1.2 --file-version 1.x
run tallix-pack pack app -o out.exe --product-version=70000
# The file and product versions default to the application's version.
run tallix-pack pack app -o out.exe --app-version 65536.1
# Valid ones pass on to the runtime lookup.
run tallix-pack pack app -o out.exe --app-version 65535.0.0.1 --file-version 7 --runtime none
# The product version is free text; the numeric one beside it takes the
# numbers it starts with, else the application's.
stand_in_runtime
for version in 2.1-beta nightly; do
    run tallix-pack pack app -o out.exe --runtime runtime --app-version 3.4 --quiet \
        --product-version "$version"
    tallix-pack inspect out.exe | grep -E '^(Product version:|  ProductVersion)' >&2
    python3 - <<'PY' >&2
import struct
data = open("out.exe", "rb").read()
fixed = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO's signature
# ProductVersionMS then LS, each a high and a low 16-bit part.
minor, major, revision, build = struct.unpack_from("<HHHH", data, fixed + 16)
print("numeric product version %d.%d.%d.%d" % (major, minor, build, revision))
PY
done
