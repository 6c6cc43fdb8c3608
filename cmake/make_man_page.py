#!/usr/bin/env python3
"""Writes tallix-pack's manual page from its own --help texts, so that the two
cannot drift apart: make_man_page.py TALLIX_PACK VERSION OUT.1 writes OUT.1
and OUT.1.gz (compressed as Debian wants, without a name or time stamp)."""
import gzip
import re
import subprocess
import sys


def help_text(tool, *args):
    return subprocess.run([tool, *args, "--help"], check=True, capture_output=True,
                          text=True).stdout


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def commands(tool):
    """(name, summary) of each command in the tool's own --help."""
    listed = help_text(tool).split("commands:\n", 1)[1].split("\n\n", 1)[0]
    return [tuple(line.split(None, 1)) for line in listed.splitlines() if line.strip()]


def parse_usage(text):
    """The synopsis, description, option entries (left, help) and epilogue of
    one command's --help."""
    head, rest = text.split("\noptions:\n", 1)
    synopsis, _, description = head.partition("\n")
    synopsis = synopsis.removeprefix("usage: ")
    entries, lines = [], rest.splitlines()
    index = 0
    while index < len(lines) and lines[index].strip():
        line = lines[index]
        if re.match(r"  -", line):
            left, _, help_part = line.strip().partition("  ")
            entries.append([left, help_part.strip()])
        else:
            entries[-1][1] = (entries[-1][1] + " " + line.strip()).strip()
        index += 1
    epilogue = "\n".join(lines[index:]).strip("\n")
    return synopsis, description.strip("\n"), entries, epilogue


def paragraphs(text):
    out = []
    for block in text.split("\n\n"):
        block_lines = block.splitlines()
        if any(line.startswith(" ") for line in block_lines):
            out += [".PP", ".nf"] + [roff(line) for line in block_lines] + [".fi"]
        elif block.strip():
            out += [".PP", roff(" ".join(line.strip() for line in block_lines))]
    return out


def option_entry(left, help_part):
    shown = []
    for part in left.split(", "):
        name, _, value = part.partition(" ")
        shown.append("\\fB" + roff(name) + "\\fR"
                     + (" \\fI" + roff(value) + "\\fR" if value else ""))
    return [".TP", ", ".join(shown), roff(help_part)]


def man_page(tool, version):
    out = [f'.TH TALLIX\\-PACK 1 "" "tallix-onefile {version}" "User Commands"',
           ".SH NAME", "tallix\\-pack \\- pack a Windows application directory into one executable",
           ".SH SYNOPSIS"]
    listed = commands(tool)
    usages = {name: parse_usage(help_text(tool, name)) for name, _ in listed}
    for name, _ in listed:
        out += [".br", roff(usages[name][0])]
    out += [".br", "tallix\\-pack \\-\\-help | \\-\\-version", ".SH DESCRIPTION",
            "\\fBtallix\\-pack\\fR has one command per task:"]
    for name, summary in listed:
        out += [".TP", "\\fB" + roff(name) + "\\fR", roff(summary)]
    for name, _ in listed:
        synopsis, description, entries, epilogue = usages[name]
        out += [".SH " + roff("tallix-pack " + name).upper()]
        out += paragraphs(description)
        out += [".SS OPTIONS"]
        for left, help_part in entries:
            out += option_entry(left, help_part)
        out += paragraphs(epilogue)
    out += [".SH FILES", ".TP", "\\fI/usr/lib/tallix\\-onefile/\\fR",
            "the launcher runtime every launcher is written from"]
    return "\n".join(out) + "\n"


def main():
    tool, version, output = sys.argv[1:]
    page = man_page(tool, version)
    with open(output, "w") as f:
        f.write(page)
    with open(output + ".gz", "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=9, mtime=0) as f:
            f.write(page.encode())


if __name__ == "__main__":
    main()
