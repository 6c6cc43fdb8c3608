#!/usr/bin/env python3
"""Whole-process start times under Wine, side by side in one run: each round
runs every case once, so the cases alternate (A B A B) and share whatever
the machine does meanwhile; each round starts one case later than the one
before, so no case always follows the same one. A cold case first moves its
cache directory aside and flushes the page cache (not timed): with much
data waiting to be written back the kernel slows every writer down. What
was moved aside is deleted only after the last round: on an ext4 file
system without a journal, as on these machines, a file created within
minutes of many deletions costs a scan past every inode freed meanwhile.
A user's first start pays neither.
Prints the median and the range of each case, and the peak resident memory
of one more run of each case (of a cold case, from its directory moved
aside and the page cache flushed, as in the rounds).

With --window TITLE, a start's time is that until a window titled TITLE
is viewable on the X server of DISPLAY (asked with xwininfo every
WINDOW_POLL_SECONDS); the process still runs to its end, untimed.

With --aside DIR, a cold directory is moved into DIR (on the same file
system) rather than beside itself, where a launcher looking for its
product's other folders would find it.

usage: whole_process_bench.py --rounds N --wine WINE [--window TITLE]
           [--aside DIR] CASE=COMMAND[=COLD_DIRECTORY|=damage:FILE] ...
COMMAND is a Windows program, or a program and its arguments separated by
"|"; it runs under WINE. With damage:FILE, DAMAGED_BYTES in the middle of
FILE are inverted before each start of the case (not timed), as a repair
finds them.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

MEASURE_PEAK = ("import resource, subprocess, sys;"
                "subprocess.run(sys.argv[1:], stdin=subprocess.DEVNULL,"
                " stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL);"
                "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")


# Finer than the differences measured; one xwininfo takes a few ms.
WINDOW_POLL_SECONDS = 0.01
# Under heavy load Wine now and then leaves a new process half created, and
# its parent waits for ever: such a start is ended and made again.
WINDOW_TIMEOUT_SECONDS = 60
# Starts made for one measurement at most.
ATTEMPTS = 3
# What a damage: case changes in its file: one page, its size kept.
DAMAGED_BYTES = 4096
DAMAGE_PREFIX = "damage:"


def damage(path):
    with open(path, "r+b") as file:
        size = file.seek(0, os.SEEK_END)
        start = max(0, size // 2 - DAMAGED_BYTES // 2)
        file.seek(start)
        data = file.read(DAMAGED_BYTES)
        file.seek(start)
        file.write(bytes(b ^ 0xFF for b in data))


def window_shown(title):
    asked = subprocess.run(["xwininfo", "-name", title], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True, check=False)
    return "IsViewable" in asked.stdout


def run(wine, command, window=None):
    """Seconds the start took; None when, with `window`, it showed none within
    WINDOW_TIMEOUT_SECONDS (it is then ended)."""
    started = time.perf_counter()
    process = subprocess.Popen([wine] + command.split("|"), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = None
    while window is not None and process.poll() is None:
        if window_shown(window):
            elapsed = time.perf_counter() - started
            break
        if time.perf_counter() - started > WINDOW_TIMEOUT_SECONDS:
            process.kill()
            process.communicate()
            print("%s: no window after %d s, made again" % (command, WINDOW_TIMEOUT_SECONDS),
                  file=sys.stderr)
            return None
        time.sleep(WINDOW_POLL_SECONDS)
    _, errors = process.communicate()
    done = subprocess.CompletedProcess(process.args, process.returncode, None, errors)
    if elapsed is None:
        if window is not None:
            sys.exit("%s showed no window titled %r" % (command, window))
        elapsed = time.perf_counter() - started
    if done.returncode != 0:
        sys.exit("%s failed with status %d: %s" % (command, done.returncode,
                                                   done.stderr[-400:]))
    return elapsed


def peak_kib(wine, command):
    """Largest resident set of any process of one start (kernel's ru_maxrss)."""
    out = subprocess.run([sys.executable, "-c", MEASURE_PEAK, wine] + command.split("|"),
                         stdout=subprocess.PIPE, text=True, check=True).stdout
    return int(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--window")
    parser.add_argument("--aside")
    parser.add_argument("cases", nargs="+", metavar="CASE=COMMAND[=COLD_DIRECTORY]")
    args = parser.parse_args()
    cases = [case.split("=") for case in args.cases]
    times = {case[0]: [] for case in cases}
    moved_aside = []

    def make_cold(cold, tag):
        if cold and cold[0].startswith(DAMAGE_PREFIX):
            damage(cold[0][len(DAMAGE_PREFIX):])
            os.sync()
            return
        if cold and os.path.exists(cold[0]):
            aside = cold[0] if args.aside is None else os.path.join(
                args.aside, os.path.basename(cold[0]))
            moved_aside.append("%s.old-%d-%s" % (aside, os.getpid(), tag))
            os.rename(cold[0], moved_aside[-1])
        if cold:
            os.sync()

    def measure(exe, cold, tag):
        for attempt in range(ATTEMPTS):
            make_cold(cold, "%s-%d" % (tag, attempt))
            elapsed = run(args.wine, exe, args.window)
            if elapsed is not None:
                return elapsed
        sys.exit("%s: no window in %d starts" % (exe, ATTEMPTS))

    for name, exe, *cold in cases:  # one untimed start each: caches filled, files in place
        measure(exe, [], "first")
    for round_number in range(args.rounds):
        turn = round_number % len(cases)
        for name, exe, *cold in cases[turn:] + cases[:turn]:
            times[name].append(measure(exe, cold, round_number))
    peaks = {}
    for name, exe, *cold in cases:
        make_cold(cold, "peak")
        peaks[name] = peak_kib(args.wine, exe)
    for directory in moved_aside:
        shutil.rmtree(directory, ignore_errors=True)
    for name, exe, *cold in cases:
        values = times[name]
        print("%-28s median %6.3f s  (%5.3f .. %5.3f, %d runs)  peak %6.1f MB" % (
            name, statistics.median(values), min(values), max(values), len(values),
            peaks[name] / 1024))


if __name__ == "__main__":
    main()
