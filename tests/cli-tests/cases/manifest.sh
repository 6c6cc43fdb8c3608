# The manifest asks for --execution-level, or is the user's own --manifest,
# which must be well-formed XML whose root is <assembly>; the two do not go
# together. pefile reads back the level and an icon group made from an
# .ico of four images.
app_with app.exe
stand_in_runtime
python3 "$CLI_TESTS/make_image.py" four.ico ico 16 32 48 256
cat >own.manifest <<'XML'
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <!-- a manifest of one's own -->
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security><requestedPrivileges>
      <requestedExecutionLevel uiAccess="false"
          level = 'highestAvailable'/>
    </requestedPrivileges></security>
  </trustInfo>
</assembly>
XML
sed 's|</security>|</securty>|' own.manifest >broken.manifest
printf '<assembly a="1" a="2"/>\n' >twice.manifest
printf '<?xml version="1.0"?>\n<html>&amp;</html>\n' >html.manifest
printf '\xff\xfe<\0a\0/\0>\0' >utf16.manifest
run tallix-pack pack app -o out.exe --execution-level requireAdmin
run tallix-pack pack app -o out.exe --manifest own.manifest --execution-level asInvoker
run tallix-pack pack app -o out.exe --manifest own.manifest --manifest-name Zere
for manifest in missing broken twice html utf16; do
    run tallix-pack pack app -o out.exe --runtime runtime --manifest "$manifest.manifest"
done
readback() {
    /usr/bin/python3 - "$1" <<'PY'
import re, sys
import pefile
pe = pefile.PE(sys.argv[1])
resources = {kind.id: kind for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries}
def first(kind):
    data = resources[kind].directory.entries[0].directory.entries[0].data.struct
    return pe.get_data(data.OffsetToData, data.Size)
manifest = first(pefile.RESOURCE_TYPE["RT_MANIFEST"]).decode()
group = first(pefile.RESOURCE_TYPE["RT_GROUP_ICON"])
sizes = [group[6 + 14 * i] or 256 for i in range(group[4])]
print(re.findall(r"\slevel\s*=\s*[\"'](\w+)", manifest), "icon sizes", sizes,
      "own manifest" if "one's own" in manifest else "")
PY
}
run tallix-pack pack app -o admin.exe --runtime runtime --quiet --icon four.ico \
    --execution-level requireAdministrator
readback admin.exe
run tallix-pack pack app -o own.exe --runtime runtime --quiet --manifest own.manifest
readback own.exe
tallix-pack inspect own.exe | grep '^Execution level:'
