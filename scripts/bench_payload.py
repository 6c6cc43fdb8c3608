#!/usr/bin/env python3
"""bench_payload.py SOURCE TARGET: the benchmarks' fixed payload of real PE
files. mshtml.dll (the largest) first, then every third of the other files
of SOURCE by name, starting with the third: 217 files, spread over the top
directory and 33 directories (p00..p10, each with q and q/r)."""
import os
import shutil
import sys

source, target = sys.argv[1], sys.argv[2]
names = sorted(n for n in os.listdir(source) if os.path.isfile(os.path.join(source, n)))
first = "mshtml.dll"
rest = [n for n in names if n != first][2::3][:216]
directories = [""] + [os.path.join("p%02d" % i, *["q", "r"][:depth])
                      for i in range(11) for depth in range(3)]
os.makedirs(target)
shutil.copyfile(os.path.join(source, first), os.path.join(target, first))
for index, name in enumerate(rest):
    directory = os.path.join(target, directories[index % len(directories)])
    os.makedirs(directory, exist_ok=True)
    shutil.copyfile(os.path.join(source, name), os.path.join(directory, name))
