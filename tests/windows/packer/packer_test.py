#!/usr/bin/python3
"""Tests of launchers built by tallix-pack: PE fields and resources read from
the built file with pefile, reproducibility, and runs under Wine.

    packer_test.py TEST --tallix-pack P --runtime DIR --example-app DIR
                   --example-pack pack.sh --make-image make_image.py
                   --runner exitcode_runner.exe --wine-run wine-run
                   --resource-probe resource_probe.exe --windows-pack tallix-pack.exe
"""
import argparse
import hashlib
import os
import pathlib
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (check, check_equal, outcome, run, run_windows,  # noqa: E402
                               windows_path)

RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 14, 16, 24
ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]
IMAGE_FILE_MACHINE_AMD64 = 0x8664
SUBSYSTEM_GUI, SUBSYSTEM_CONSOLE = 2, 3
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT = 0x20, 0x40, 0x100
STACK_RESERVE = 0x968000

args = None


def pack(app, output, *options, example=True, expect_status=0, path=None, quiet=True):
    """Packs `app` into `output`, as the example's script does unless
    example=False, with PATH set to `path` if given. Returns the completed
    process."""
    env = dict(os.environ, TALLIX_PACK=str(args.tallix_pack))
    if path is not None:
        env["PATH"] = path
    if example:
        command = ["bash", str(args.example_pack), str(app), str(output)]
    else:
        command = [str(args.tallix_pack), "pack", str(app), "-o", str(output)]
    command += ["--runtime", str(args.runtime), *(["--quiet"] if quiet else []), *options]
    result = run(command, env=env)
    if result.returncode != expect_status:
        raise SystemExit(f"packing failed ({result.returncode}):\n{' '.join(command)}\n"
                         f"{result.stdout}{result.stderr}")
    return result


def exit_code_through_runner(command_line):
    """The full 32-bit exit code, as a Windows parent sees it."""
    out = run_windows(args.runner, wine=args.wine_run,
                      env={"RUNNER_COMMAND_LINE": command_line}).out
    found = re.search(r"runner-exit-code (\d+)", out)
    check(found is not None, f"the runner reported no exit code: {out!r}")
    return (int(found.group(1)) if found else None), out


def resources(pe):
    """{(type, id): [(language, bytes)]}"""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.setdefault((kind.id, name.id), []).append(
                    (language.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


def version_strings(pe):
    """The string tables (without PackedBy, checked here to name the packer)
    and the translations."""
    tables = {}
    translations = []
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings = {k.decode(): v.decode("utf-8") for k, v in table.entries.items()}
            packed_by = strings.pop("PackedBy", "")
            check(re.fullmatch(r"tallix-pack \d+\.\d+\.\d+", packed_by),
                  f"PackedBy names the packer: {packed_by!r}")
            tables[table.LangID.decode()] = strings
        for var in getattr(info, "Var", []):
            translations.append(var.entry.get(b"Translation"))
    return tables, translations


def png_header(data):
    check(data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR", "an icon image is a PNG")
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    return width, height, depth, colour


def check_icons(res):
    """The icon group and its seven PNG images; returns the images by size."""
    groups = res.get((RT_GROUP_ICON, 1))
    check(groups is not None and len(groups) == 1, "one icon group, identifier 1")
    if not groups:
        return {}
    language, group = groups[0]
    check_equal(language, 0, "icon group language")
    reserved, kind, count = struct.unpack_from("<HHH", group)
    check_equal((reserved, kind, count), (0, 1, 7), "icon group header")
    images = {}
    for i in range(count):
        width, height, colours, _, planes, bits, size, ident = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        expected = ICON_SIZES[i]
        check_equal((width, height), (expected % 256, expected % 256), f"icon entry {i} size")
        check_equal((colours, planes, bits), (0, 1, 32), f"icon entry {i} colours/planes/bits")
        check_equal(ident, i + 1, f"icon entry {i} identifier")
        entries = res.get((RT_ICON, ident), [])
        check(len(entries) == 1, f"icon image {ident} present once")
        if not entries:
            continue
        image_language, image = entries[0]
        check_equal(image_language, 0, f"icon image {ident} language")
        check_equal(len(image), size, f"icon image {ident} length")
        check_equal(png_header(image), (expected, expected, 8, 6),
                    f"icon image {ident} PNG (width, height, depth, RGBA)")
        images[expected] = image
    return images


def test_pe_properties(work):
    launcher = work / "Halvory-Quin.exe"
    pack(args.example_app, launcher)
    check_equal(launcher.stat().st_mode & 0o777, 0o755, "the launcher's mode, a program's")
    pe = pefile.PE(str(launcher))
    check_equal(pe.FILE_HEADER.Machine, IMAGE_FILE_MACHINE_AMD64, "machine")
    check_equal(pe.OPTIONAL_HEADER.Magic, 0x20B, "PE32+ optional header")
    check_equal(pe.OPTIONAL_HEADER.Subsystem, SUBSYSTEM_GUI, "subsystem")
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for flag, name in [(HIGH_ENTROPY_VA, "high-entropy VA"), (DYNAMIC_BASE, "dynamic base"),
                       (NX_COMPAT, "NX compatible")]:
        check(flags & flag, f"DllCharacteristics has {name} (0x{flags:x})")
    check_equal(pe.OPTIONAL_HEADER.SizeOfStackReserve, STACK_RESERVE, "stack reserve")
    check_equal(pe.FILE_HEADER.TimeDateStamp, 0, "COFF timestamp")
    check(not pe.FILE_HEADER.Characteristics & 0x0001, "relocations are not stripped")
    # Only system DLLs: nothing of ours or of the compiler's runtime.
    dlls = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check(dlls <= {"kernel32.dll", "ntdll.dll", "msvcrt.dll", "shell32.dll", "user32.dll",
                   "gdi32.dll", "advapi32.dll"},
          f"imports only system DLLs: {sorted(dlls)}")
    # objdump agrees on the fields the loader uses.
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(launcher)],
                          capture_output=True, text=True).stdout
    check("(Windows GUI)" in dump, "objdump: Windows GUI subsystem")
    check(re.search(r"SizeOfStackReserve\s+0*968000", dump) is not None, "objdump: stack reserve")


def test_console_mode(work):
    (work / "gui").mkdir()
    (work / "console").mkdir()
    gui, console = work / "gui" / "tool.exe", work / "console" / "tool.exe"
    # Without the progress window, whose line only a GUI launcher carries.
    pack(args.example_app, gui, "--no-progress-window")
    pack(args.example_app, console, "--console", "--no-progress-window")
    gui_pe, console_pe = pefile.PE(str(gui)), pefile.PE(str(console))
    check_equal(gui_pe.OPTIONAL_HEADER.Subsystem, SUBSYSTEM_GUI, "default subsystem")
    check_equal(console_pe.OPTIONAL_HEADER.Subsystem, SUBSYSTEM_CONSOLE, "--console subsystem")
    # The console launcher is the GUI one with another subsystem, the
    # runtime's console entry point and so another checksum.
    allowed = set()
    for name, width in [("Subsystem", 2), ("AddressOfEntryPoint", 4), ("CheckSum", 4)]:
        offset = gui_pe.OPTIONAL_HEADER.get_field_absolute_offset(name)
        allowed |= set(range(offset, offset + width))
    a, b = gui.read_bytes(), console.read_bytes()
    check_equal(len(a), len(b), "console and GUI launcher sizes")
    differing = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    check(set(differing) <= allowed,
          f"console and GUI launchers differ only in subsystem, entry and checksum: "
          f"{sorted(set(differing) - allowed)[:10]}")
    for launcher in (gui, console):
        for code in (0, 255, 256, 0x7FFFFFFF, 0xC0000005, 0xFFFFFFFF):
            status, out = exit_code_through_runner(
                f'"{windows_path(launcher)}" --exit {code:#x}')
            check_equal(status, code, f"{launcher.parent.name} launcher exit code")
            check("Hello from Halvory-Quin" in out, "the application's output passes through")


def test_example_resources(work):
    launcher = work / "Halvory-Quin.exe"
    pack(args.example_app, launcher)
    pe = pefile.PE(str(launcher))
    res = resources(pe)
    check_equal(sorted({kind for kind, _ in res}),
                [RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST], "resource types")
    # The progress window's line: string 1 of the block of strings 0 to 15.
    line = "Preparing {PRODUCT} {VERSION} for its first start\u2026".encode("utf-16-le")
    check_equal(res.get((RT_STRING, 1)),
                [(0, b"\0\0" + struct.pack("<H", len(line) // 2) + line + b"\0\0" * 14)],
                "string table with the progress window's line, neutral")
    check_equal([lang for lang, _ in res[(RT_VERSION, 1)]], [0], "version resource id 1, neutral")
    fixed = pe.VS_FIXEDFILEINFO[0]
    check_equal((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010001, 0), "file version 1.1.0.0")
    check_equal((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010001, 0),
                "product version 1.1.0.0")
    check_equal((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType,
                 fixed.FileSubtype), (0x3F, 0, 4, 1, 0), "fixed info flags, OS, type")
    tables, translations = version_strings(pe)
    check_equal(tables, {"000004b0": {
        "CompanyName": "Orlisk Works",
        "ProductName": "Halvory-Quin",
        "FileDescription": "Halvory-Quin application",
        "ProductVersion": "1.1.0.0",
        "FileVersion": "1.1.0.0",
        "OriginalFilename": "Halvory-Quin.exe",
        "InternalName": "Halvory-Quin"}}, "version strings")
    check_equal(translations, ["0x0000 0x04b0"], "translation")
    check_icons(res)
    manifests = res.get((RT_MANIFEST, 1), [])
    check_equal([lang for lang, _ in manifests], [0], "manifest id 1, neutral")
    manifest = manifests[0][1].decode() if manifests else ""
    for needle in ['<assemblyIdentity type="win32" name="Zere" version="1.1.0.0"/>',
                   '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">'
                   'true</longPathAware>',
                   '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>',
                   'name="Microsoft.Windows.Common-Controls" version="6.0.0.0" '
                   'processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"',
                   "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]:
        check(needle in manifest, f"manifest contains {needle}")
    # The build constants: the template and the version strings as given.
    data = launcher.read_bytes()
    for text in ["{CACHE_DIR}\\Halvory\\Halvory-Quin-1.1.0\0", "Orlisk Works\0", "1.1.0\0"]:
        check(text.encode("utf-16-le") in data, f"constant {text!r} is compiled in")


def test_chosen_resources(work):
    """Texts, versions and a PNG icon of the user's choice, non-ASCII included."""
    subprocess.run([sys.executable, str(args.make_image), str(work / "icon.png"), "png", "300", "300"],
                   check=True)
    launcher = work / "tool.exe"
    company = 'Ørsted & "Söhne" \\ €'
    pack(args.example_app, launcher, *[
        "--main", "Halvory-Quin.exe", "--company", company, "--product", "Tool",
        "--app-version", "2.3", "--file-version", "4.5.6.7", "--description", "Ein Werkzeug 🛠",
        "--copyright", "© 2026", "--icon", str(work / "icon.png"),
        "--template", "{CACHE_DIR}\\tallix-packer-tests\\{PRODUCT}"], example=False)
    pe = pefile.PE(str(launcher))
    fixed = pe.VS_FIXEDFILEINFO[0]
    check_equal((fixed.FileVersionMS, fixed.FileVersionLS), (0x00040005, 0x00060007),
                "file version 4,5,6,7")
    check_equal((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00020003, 0),
                "product version defaults to the app version, padded")
    tables, _ = version_strings(pe)
    strings = dict(tables.get("000004b0", {}))
    # pefile shows a surrogate pair as escapes; the raw bytes are checked below.
    strings.pop("FileDescription", None)
    check_equal(strings, {
        "CompanyName": company, "ProductName": "Tool", "ProductVersion": "2.3.0.0",
        "FileVersion": "4.5.6.7", "OriginalFilename": "tool.exe", "InternalName": "tool",
        "LegalCopyright": "© 2026"}, "chosen version strings")
    version = resources(pe)[(RT_VERSION, 1)][0][1]
    check("FileDescription\0\0Ein Werkzeug 🛠\0".encode("utf-16-le") in version,
          "the description with a character beyond the BMP, as UTF-16")
    images = check_icons(resources(pe))
    # The 256-pixel image is the source scaled down: the same solid colour.
    if 256 in images:
        check(b"IDAT" in images[256], "the 256-pixel image has pixel data")
    # Non-ASCII constants survive as UTF-16 in the image.
    check((company + "\0").encode("utf-16-le") in launcher.read_bytes(),
          "the company constant is compiled in exactly")
    manifest = resources(pe)[(RT_MANIFEST, 1)][0][1].decode()
    check('name="Tool"' in manifest, "default manifest identity from the product")


def test_icon_from_ico(work):
    """An .ico of seven PNG images is used as it is."""
    first = work / "first.exe"
    pack(args.example_app, first)
    images = check_icons(resources(pefile.PE(str(first))))
    ico = struct.pack("<HHH", 0, 1, len(ICON_SIZES))
    offset = 6 + 16 * len(ICON_SIZES)
    for size in ICON_SIZES:
        ico += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(images[size]),
                           offset)
        offset += len(images[size])
    # Stored largest first: the packer orders them itself.
    (work / "app.ico").write_bytes(ico + b"".join(images[s] for s in ICON_SIZES))
    second = work / "second.exe"
    pack(args.example_app, second, "--icon", str(work / "app.ico"))
    again = check_icons(resources(pefile.PE(str(second))))
    check_equal({s: hashlib.sha256(i).hexdigest() for s, i in again.items()},
                {s: hashlib.sha256(i).hexdigest() for s, i in images.items()},
                "icon images taken over unchanged")


def make_payload(directory, megabytes):
    """Compressible but not trivial content over several files."""
    rng = random.Random(1234)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(4000)]
    (directory / "data").mkdir(parents=True, exist_ok=True)
    for n in range(4):
        chunk = b" ".join(rng.choice(words) for _ in range(megabytes * 1024 * 1024 // 24))
        (directory / "data" / f"part{n}.txt").write_bytes(chunk)


def test_reproducible(work):
    app = work / "app"
    shutil.copytree(args.example_app, app)
    make_payload(app, 24)
    outputs = []
    for jobs, place in [("1", "one"), ("4", "two")]:
        (work / place).mkdir()
        output = work / place / "Halvory-Quin.exe"
        pack(app, output, "--jobs", jobs)
        outputs.append(output.read_bytes())
    check(len(outputs[0]) > 1_000_000, "the payload is large enough for several zstd jobs")
    check(outputs[0] == outputs[1], "packing with --jobs 1 and --jobs 4 gives the same bytes")
    # And no path of the build machine is compiled in.
    check(str(work).encode() not in outputs[0], "the work directory's path is not in the launcher")


def run_and_cleanup(launcher, *arguments):
    result = run_windows(launcher, *arguments, wine=args.wine_run)
    out = result.out
    found = re.search(r"running from (C:\\.*)\\Halvory-Quin.exe", out)
    if found and os.environ.get("WINEPREFIX"):
        unpacked = pathlib.Path(os.environ["WINEPREFIX"]) / "drive_c" / \
            found.group(1)[3:].replace("\\", "/")
        shutil.rmtree(unpacked, ignore_errors=True)
    return result.status, out


def test_runs(work):
    launcher = work / "Halvory-Quin.exe"
    unique = f"{os.getpid()}"
    pack(args.example_app, launcher,
         "--template", f"{{CACHE_DIR}}\\tallix-packer-tests\\runs-{unique}")
    status, out = run_and_cleanup(launcher, "first", "two words", "--exit", "300")
    check_equal(status, 300 % 256, "exit status as Linux sees it")
    check("Hello from Halvory-Quin 1.1.0." in out, f"greeting in {out!r}")
    check(f"argument 0: {windows_path(launcher)}" in out, "argv[0] is the launcher")
    check("argument 2: two words" in out, "arguments pass through")
    check(f"tallix-packer-tests\\runs-{unique}\\Halvory-Quin.exe" in out,
          "the application runs from the template's directory")
    check("data\\note.txt: This file travelled inside the launcher." in out,
          "files beside the program are unpacked")
    # Defaults only: the product from the output name, the default template;
    # and packing needs no tool on PATH.
    plain = work / "Plain.exe"
    pack(args.example_app, plain, example=False, path="/nonexistent")
    status, out = run_and_cleanup(plain, "--exit", "7")
    check_equal(status, 7, "exit status with default options")
    check("\\Plain\\Plain-1.0.0\\Halvory-Quin.exe" in out,
          f"default template {{CACHE_DIR}}\\{{COMPANY}}\\{{PRODUCT}}-{{VERSION}}: {out!r}")


def test_index(work):
    """With the index a warm start never reads the payload, so a launcher
    whose frame cannot be decoded still starts from a complete cache;
    without it every start decodes."""
    unique = f"{os.getpid()}"
    outcomes = {}
    for name, options in (("Indexed", ()), ("Unindexed", ("--no-index",))):
        launcher = work / f"{name}.exe"
        pack(args.example_app, launcher, *options,
             "--template", f"{{CACHE_DIR}}\\tallix-packer-tests\\{name}-{unique}")
        data = launcher.read_bytes()
        # Past the frame header: the constants' checksum covers the header.
        damage = data.find(b"QVZ\x28\xb5\x2f\xfd") + 3 + 32
        broken = work / f"{name}-broken.exe"
        broken.write_bytes(data[:damage] + b"\0\0\0\0" + data[damage + 4:])
        check_equal(run_windows(launcher, wine=args.wine_run).status, 0, f"{name}: cold start")
        warm = run_windows(broken, "--exit", "5", wine=args.wine_run)
        outcomes[name] = (warm.status, warm.out if name == "Unindexed" else "Hello" in warm.out)
        run_and_cleanup(launcher)
    check_equal(outcomes["Indexed"], (5, True), "a warm start from the index runs the application")
    check_equal(outcomes["Unindexed"], (2, "Error, couldn't decode attached data.\n"),
                "a warm start that decodes")


def test_depfile(work):
    app = work / "my app"
    shutil.copytree(args.example_app, app)
    (app / "data" / "with space#1$.txt").write_text("x")
    depfile = work / "out.d"
    launcher = work / "out.exe"
    pack(app, launcher, "--depfile", str(depfile))
    text = depfile.read_text()
    # Undo the escaping of make's depfile syntax.
    lines = text.replace("\\\n", " ").strip()
    target, _, rest = lines.partition(": ")
    check_equal(target, str(launcher).replace(" ", "\\ "), "depfile target")
    inputs = [re.sub(r"\\([ #])", r"\1", p).replace("$$", "$")
              for p in re.findall(r"(?:\\.|[^ \\])+", rest)]
    expected = {str(p) for p in app.rglob("*")} | {str(app)}
    check(expected <= set(inputs),
          f"every application file and folder is listed: {sorted(expected - set(inputs))}")
    runtime = {str(p) for p in args.runtime.resolve().rglob("*") if p.is_file()
               and p.name != "zstd-LICENSE"}
    check(runtime <= set(inputs), f"the runtime files are listed: {sorted(runtime - set(inputs))}")
    check(all(pathlib.Path(p).is_absolute() and pathlib.Path(p).exists() for p in inputs),
          "every input is an existing absolute path")
    # A failing pack writes no depfile.
    depfile.unlink()
    pack(work / "missing", launcher, "--depfile", str(depfile), expect_status=2)
    check(not depfile.exists(), "no depfile after a failure")


def test_broken_runtime(work):
    """A damaged launcher image: status 1, the file and the cause named,
    nothing half-written, and an earlier launcher at the output path left as
    it was."""
    runtime = work / "runtime"
    shutil.copytree(args.runtime, runtime)
    output = work / "app.exe"
    pack(args.example_app, output, "--runtime", str(runtime))
    before = output.read_bytes()
    image = runtime / "launcher-gui.exe"
    image.write_bytes(image.read_bytes() + b"trailing bytes")
    result = pack(args.example_app, output, "--runtime", str(runtime), expect_status=1)
    check(f"{image}: not a usable launcher image: data follows the last section (14 bytes)"
          in result.stderr, f"the image and the cause are named: {result.stderr!r}")
    check_equal(output.read_bytes(), before, "the earlier launcher")
    check_equal(sorted(p.name for p in work.iterdir()), ["app.exe", "runtime"],
                "files beside the output after the failure")
    # A folder the output cannot be written in is named as the user gave it.
    result = pack(args.example_app, "/proc/E.exe", example=False, expect_status=1)
    check("-o /proc/E.exe: cannot write in /proc (" in result.stderr
          and ".tallix-pack" not in result.stderr, f"the output is named: {result.stderr!r}")


def test_resources_through_api(work):
    """The system's own readers (GetFileVersionInfoW, VerQueryValueW,
    LoadImageW, FindResourceW under Wine) find what pefile finds."""
    subprocess.run([sys.executable, str(args.make_image), str(work / "icon.png"), "png", "300", "300"],
                   check=True)
    launcher = work / "tool.exe"
    pack(args.example_app, launcher, *[
        "--company", 'Ørsted & "Söhne"', "--product", "Tool", "--app-version", "2.3",
        "--file-version", "4.5.6.7", "--description", "Ein Werkzeug", "--copyright", "© 2026",
        "--icon", str(work / "icon.png"), "--manifest-name", "Zere",
        "--template", "{CACHE_DIR}\\tallix-packer-tests\\{PRODUCT}"], example=False)
    probe = run_windows(args.resource_probe, windows_path(launcher), wine=args.wine_run)
    check_equal(probe.status, 0, "resource probe status")
    seen = {}
    for line in probe.out.splitlines():
        kind, _, rest = line.partition(" ")
        seen.setdefault(kind, []).append(rest)
    pe = pefile.PE(str(launcher))
    fixed = pe.VS_FIXEDFILEINFO[0]
    check_equal(seen.get("fixed"), [f"{fixed.FileVersionMS:08x} {fixed.FileVersionLS:08x} "
                                    f"{fixed.ProductVersionMS:08x} {fixed.ProductVersionLS:08x} "
                                    f"{fixed.FileFlagsMask:x} {fixed.FileOS:x} {fixed.FileType:x}"],
                "fixed version information")
    check_equal(seen.get("translation"), ["0000 04b0"], "translation")
    tables, _ = version_strings(pe)
    check_equal(sorted(seen.get("string", [])),
                sorted(f"{k} {v}" for k, v in tables.get("000004b0", {}).items()),
                "version strings, as VerQueryValueW and pefile read them")
    check(len(seen.get("string", [])) == 8, f"eight strings: {seen.get('string')}")
    images = check_icons(resources(pe))
    check_equal(seen.get("icon"), [f"{size} {size}x{size} 32" for size in images],
                "every icon size loads at its own size")
    manifest = resources(pe)[(RT_MANIFEST, 1)][0][1]
    check_equal(seen.get("manifest"), [f"{len(manifest)} Zere"], "manifest found and read")


def test_windows_packer(work):
    """tallix-pack.exe under Wine writes the same bytes as the Linux packer
    from the same inputs, also with frames sized to the application and
    windows covering them (level 16), and without a signing tool says which
    to install."""
    app = work / "app"
    shutil.copytree(args.example_app, app)
    make_payload(app, 8)
    (work / "linux").mkdir()
    (work / "windows").mkdir()
    options = ["--company", "Orlisk Works", "--app-version", "1.1.0", "--quiet", "--level", "16"]
    pack(app, work / "linux" / "Tool.exe", *options, "--jobs", "1", example=False)
    result = run_windows(args.windows_pack, "pack", windows_path(app), "-o",
                         windows_path(work / "windows" / "Tool.exe"), "--runtime",
                         windows_path(args.runtime), *options, "--jobs", "2", wine=args.wine_run)
    check_equal(result.status, 0, f"tallix-pack.exe status ({result.err})")
    linux, windows = (work / place / "Tool.exe" for place in ("linux", "windows"))
    check(windows.exists() and windows.read_bytes() == linux.read_bytes(),
          "tallix-pack.exe and tallix-pack write byte-identical launchers")
    status, out = run_and_cleanup(windows, "--exit", "5")
    check_equal(status, 5, f"the launcher from tallix-pack.exe runs: {out!r}")

    (work / "cert.p12").write_bytes(b"not really a bundle")
    result = run_windows(args.windows_pack, "pack", windows_path(app), "-o",
                         windows_path(work / "windows" / "Signed.exe"), "--runtime",
                         windows_path(args.runtime), "--quiet", "--sign-cert",
                         windows_path(work / "cert.p12"), wine=args.wine_run,
                         env={"WINEPATH": ""})
    check_equal(result.status, 1, "status without a signing tool")
    check("neither osslsigncode.exe nor signtool.exe is on PATH" in result.err,
          f"the message names both tools: {result.err!r}")
    check(not (work / "windows" / "Signed.exe").exists(), "no unsigned launcher is left behind")


def remove_unpacked(unique):
    """Removes what launchers unpacked under {CACHE_DIR}\\tallix-packer-tests\\`unique`."""
    if os.environ.get("WINEPREFIX"):
        for folder in pathlib.Path(os.environ["WINEPREFIX"]).glob(
                f"drive_c/users/*/AppData/Local/tallix-packer-tests/{unique}"):
            shutil.rmtree(folder, ignore_errors=True)


def test_subsystem(work):
    """Without --console or --gui the launcher takes the main program's subsystem."""
    inner = work / "gui-app" / "Inner.exe"
    inner.parent.mkdir()
    pack(args.example_app, inner)  # the example's own launcher: a GUI program
    unique = f"subsystem-{os.getpid()}"
    for app, expected, kind, main in [(args.example_app, SUBSYSTEM_CONSOLE, "console",
                                       "Halvory-Quin.exe"),
                                      (inner.parent, SUBSYSTEM_GUI, "GUI", "Inner.exe")]:
        launcher = work / f"{kind}.exe"
        result = pack(app, launcher, "--template", f"{{CACHE_DIR}}\\tallix-packer-tests\\{unique}",
                      example=False, quiet=False)
        check_equal(pefile.PE(str(launcher)).OPTIONAL_HEADER.Subsystem, expected,
                    f"subsystem of the launcher of a {kind} program")
        check(f"\n  {kind} launcher, as {main} is (--console or --gui chooses)\n" in result.stdout,
              f"the packer says which subsystem it chose: {result.stdout!r}")
        status, out = exit_code_through_runner(f'"{windows_path(launcher)}" --exit 0x1234')
        check_equal(status, 0x1234, f"exit code through the {kind} launcher")
        check("Hello from Halvory-Quin" in out, f"the application ran: {out!r}")
    remove_unpacked(unique)


def test_exclude(work):
    """--exclude on folders, links and nested matches; links followed otherwise."""
    app = work / "app"
    shutil.copytree(args.example_app, app)
    files = {"data/note.txt.bak": "old", "data/cache/big.bin": "x" * 5000,
             "data/cache.txt": "a file, not a folder", "node_modules/pkg/tool.js": "js",
             "node_modules/pkg/cache": "kept", "lib/real.txt": "real", "docs/top.md": "top",
             "docs/a/b/readme.md": "deep", "docs/a/keep.txt": "keep"}
    for name, content in files.items():
        (app / name).parent.mkdir(parents=True, exist_ok=True)
        (app / name).write_text(content)
    (app / "node_modules" / ".bin").mkdir()
    os.symlink("../pkg/tool.js", app / "node_modules" / ".bin" / "tool")
    os.symlink("real.txt", app / "lib" / "current.txt")
    os.symlink("../data", app / "lib" / "data-link")
    excludes = ["*.bak", "cache/", "node_modules/.bin/", "docs/**/*.md"]
    options = [f"--exclude={pattern}" for pattern in excludes]
    refused = pack(app, work / "refused.exe", *options, example=False, expect_status=2)
    check("lib/data-link': a symbolic link to a directory cannot be packed" in refused.stderr,
          f"a link to a folder is refused: {refused.stderr!r}")
    launcher, depfile = work / "out.exe", work / "out.d"
    result = pack(app, launcher, *options, "--exclude", "lib/data-link", "--depfile", depfile,
                  example=False, quiet=False)
    check("\n  left out by --exclude '*.bak' 'cache/' 'node_modules/.bin/' 'docs/**/*.md' "
          "'lib/data-link': 3 files, 3 folders\n" in result.stdout, f"summary: {result.stdout!r}")
    check("\n  symbolic links packed as their targets (1): lib/current.txt -> real.txt\n"
          in result.stdout, f"the followed link is named: {result.stdout!r}")
    extracted = work / "extracted"
    listing = run([args.tallix_pack, "inspect", launcher, "--extract", extracted])
    check_equal(listing.returncode, 0, "inspect --extract status")
    packed = sorted(str(p.relative_to(extracted)) for p in extracted.rglob("*") if p.is_file())
    check_equal(packed, ["Halvory-Quin.exe", "data/cache.txt", "data/note.txt", "docs/a/keep.txt",
                         "lib/current.txt", "lib/real.txt", "node_modules/pkg/cache",
                         "node_modules/pkg/tool.js"], "packed files")
    check_equal((extracted / "lib" / "current.txt").read_text(), "real",
                "a link to a file is packed as its target")
    listed = depfile.read_text()
    for left_out in ["note.txt.bak", "data/cache ", "data/cache/", ".bin", "readme.md", "data-link"]:
        check(left_out not in listed.replace("\\\n", " "), f"the depfile leaves out {left_out}")
    for kept in ["data/cache.txt", "docs/a ", "node_modules/pkg/cache", "lib/current.txt"]:
        check(kept in listed.replace("\\\n", " "), f"the depfile lists {kept}")


def test_interrupted(work):
    """SIGINT, SIGTERM and SIGHUP during a pack leave nothing beside the output."""
    app = work / "app"
    shutil.copytree(args.example_app, app)
    make_payload(app, 8)
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        place = work / number.name
        place.mkdir()
        output = place / "app.exe"
        packer = subprocess.Popen(
            [str(args.tallix_pack), "pack", str(app), "-o", str(output), "--runtime",
             str(args.runtime), "--level", "19", "--jobs", "1", "--quiet"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        block = place / ".app.exe.tallix-pack" / "launcher.exe"
        deadline = time.monotonic() + 60
        while not block.exists() and packer.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        check(block.exists(), f"{number.name}: the pack is writing the launcher")
        packer.send_signal(number)
        _, err = packer.communicate(timeout=60)
        check_equal(packer.returncode, -number, f"{number.name}: ended by the signal")
        check_equal(sorted(p.name for p in place.iterdir()), [],
                    f"{number.name}: files beside the output ({err!r})")


TESTS = {
    "pe-properties": test_pe_properties,
    "console-mode": test_console_mode,
    "example-resources": test_example_resources,
    "chosen-resources": test_chosen_resources,
    "icon-from-ico": test_icon_from_ico,
    "reproducible": test_reproducible,
    "runs": test_runs,
    "index": test_index,
    "depfile": test_depfile,
    "broken-runtime": test_broken_runtime,
    "resources-through-api": test_resources_through_api,
    "windows-packer": test_windows_packer,
    "subsystem": test_subsystem,
    "exclude": test_exclude,
    "interrupted": test_interrupted,
}


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("test", choices=sorted(TESTS))
    for option in ["tallix-pack", "runtime", "example-app", "example-pack", "make-image", "runner",
                   "wine-run", "resource-probe", "windows-pack"]:
        parser.add_argument("--" + option, type=pathlib.Path, required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="tallix-packer-") as work:
        TESTS[args.test](pathlib.Path(work))
    return outcome("ok")


if __name__ == "__main__":
    sys.exit(main())
