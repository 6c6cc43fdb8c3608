# inspect names the main program, the unpack folder for a sample user, the
# check mode (also the default one), the execution level and the packer
# that wrote the launcher; --json gives the same facts and the file list as
# one JSON object.
app_with app.exe data/notes.txt
stand_in_runtime
tallix-pack pack app -o plain.exe --runtime runtime --quiet --company "Example Co" --product MyApp
tallix-pack pack app -o quick.exe --runtime runtime --quiet --check quick --arg '{APP_DIR}' \
    --template '{HOME}\apps\{PRODUCT}-{PID}' --execution-level highestAvailable
for launcher in plain quick; do
    echo "$launcher.exe:"
    tallix-pack inspect "$launcher.exe" |
        grep -E '^(Main program|Unpack folder|Check mode|Execution level|Packed by):' |
        sed 's/tallix-pack [0-9][0-9.]*$/tallix-pack VERSION/'
    tallix-pack inspect --json "$launcher.exe" >"$launcher.json"
done
python3 - <<'PY'
import json, zlib
for name in ("plain", "quick"):
    facts = json.load(open(name + ".json"))
    print(name, facts["mainProgram"], facts["unpackFolderSample"], facts["checkMode"],
          facts["launchOptions"], facts["leadingArguments"], facts["executionLevel"],
          facts["packedBy"].startswith("tallix-pack "), facts["totals"])
    for file in facts["files"]:
        content = open("app/" + file["name"].replace("\\", "/"), "rb").read()
        assert file["size"] == len(content), file
        assert int(file["crc32"], 16) == zlib.crc32(content), file
    print(" ", [file["name"] for file in facts["files"]], "sizes and CRC-32s match")
PY
