#!/usr/bin/python3
"""pe_readback.py FILE: what pefile reads from a PE image, one fact a line,
for the PE writer's native tests."""
import sys

import pefile

pe = pefile.PE(sys.argv[1])
for s in pe.sections:
    print("section", s.Name.rstrip(b"\0").decode(), s.VirtualAddress, s.Misc_VirtualSize,
          s.SizeOfRawData, s.PointerToRawData, hex(s.Characteristics))
print("checksum", "ok" if pe.verify_checksum() else "wrong")
print("size_of_image", pe.OPTIONAL_HEADER.SizeOfImage)
print("initialized_data", pe.OPTIONAL_HEADER.SizeOfInitializedData)
directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
print("resource_directory", directory.VirtualAddress, directory.Size)
root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
for kind in root.entries if root else []:
    for name in kind.directory.entries:
        for language in name.directory.entries:
            data = language.data.struct
            print("resource", kind.id, name.id, language.id,
                  pe.get_data(data.OffsetToData, data.Size).hex())
for info in getattr(pe, "FileInfo", [[]])[0]:
    for table in getattr(info, "StringTable", []):
        for key, value in table.entries.items():
            print("string", table.LangID.decode(), key.decode(), value.decode())
    for var in getattr(info, "Var", []):
        print("translation", var.entry.get(b"Translation"))
for fixed in getattr(pe, "VS_FIXEDFILEINFO", []):
    print("fixed", hex(fixed.FileVersionMS), hex(fixed.FileVersionLS), hex(fixed.ProductVersionMS),
          hex(fixed.ProductVersionLS), hex(fixed.FileFlagsMask), fixed.FileOS, fixed.FileType)
