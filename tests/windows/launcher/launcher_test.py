#!/usr/bin/env python3
"""Test launchers run under Wine, seen from outside: what their child sees,
what passes through, and how they fail.

Each launcher's first record is test_reporter, which prints one JSON line
about how it was started. Launchers are started through test_exitcode_runner,
which passes an exact raw command line and reports the full 32-bit exit code.
"""
import argparse
import json
import ntpath
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None

# (argument, how the launcher must write it for the child)
QUOTING_TABLE = [
    ("abc", "abc"),
    ("a b", '"a b"'),
    ('a"b', '"a\\"b"'),
    ("C:\\dir\\", "C:\\dir\\"),
    ("C:\\my dir\\", '"C:\\my dir\\\\"'),
    ('x\\"y', '"x\\\\\\"y"'),
    ("a\\b c", '"a\\b c"'),
    ("tab\there", '"tab\there"'),
    ("line\nfeed", '"line\nfeed"'),
    ("vertical\vtab", '"vertical\vtab"'),
    ("", '""'),
    ("last", "last"),
]


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def unix_path(path):
    return subprocess.run([ARGS.wine, "winepath", "-u", path], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, check=True).stdout.strip()


def quote_for_launcher(argument):
    # How a user's shell would write the launcher's own command line.
    return subprocess.list2cmdline([argument]) if argument else '""'


def run_launcher(launcher, command_line, env=None, cwd=None, stdin=None, stdout=None,
                 stderr=None, input_bytes=None):
    """Starts `launcher` through the runner with the raw `command_line`.
    Returns (stdout text or None, stderr text or None, launcher pid, exit code)."""
    # Only the variables a case sets may reach the launcher under our prefix.
    environment = {k: v for k, v in os.environ.items() if not k.startswith("TALLIX_")}
    environment.update(env or {})
    environment["RUNNER_APPLICATION"] = windows_path(launcher)
    environment["RUNNER_COMMAND_LINE"] = command_line
    result = subprocess.run([ARGS.wine, ARGS.runner], env=environment, cwd=cwd,
                            input=input_bytes,
                            stdin=stdin if input_bytes is None else None,
                            stdout=stdout if stdout is not None else subprocess.PIPE,
                            stderr=stderr if stderr is not None else subprocess.PIPE,
                            timeout=60)
    out = result.stdout.decode("utf-8", "replace") if result.stdout is not None else None
    err = result.stderr.decode("utf-8", "replace") if result.stderr is not None else None
    return out, err


def runner_values(out):
    values = {}
    for line in out.splitlines():
        for key in ("runner-pid", "runner-exit-code", "runner-peak-working-set"):
            if line.startswith(key + " "):
                values[key] = int(line.split()[1])
    return values["runner-pid"], values["runner-exit-code"], values["runner-peak-working-set"]


def report_of(out):
    lines = [line for line in out.splitlines() if line.startswith("{")]
    assert len(lines) == 1, out
    return json.loads(lines[0])


def run_directly(launcher):
    """Runs a launcher that is expected to fail; its text streams are in the
    runtime's text mode, so line ends are made "\n" again."""
    result = subprocess.run([ARGS.wine, launcher], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=60)
    out = result.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    err = result.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
    return result.returncode, out, err


class ChildSeesTheLaunch(unittest.TestCase):
    def test_arguments_environment_and_argv0(self):
        launcher = ARGS.reporter_launcher
        typed_argv0 = windows_path(launcher)
        line = " ".join([quote_for_launcher(typed_argv0)] +
                        [quote_for_launcher(a) for a, _ in QUOTING_TABLE])
        out, err = run_launcher(launcher, line, env={
            "TALLIX_ONEFILE_START": "1", "TALLIX_ONEFILE_TIME_US": "2",
            "TALLIX_ONEFILE_RANDOM": "abc", "TALLIX_ONEFILE_PARENT": "999"})
        pid, code, _ = runner_values(out)
        self.assertEqual(code, 0, err)
        report = report_of(out)
        module = windows_path(launcher)
        # The child's raw command line is exactly the rewritten one, and it
        # splits back into the launcher's arguments, the empty one included.
        expected = " ".join([module] + [written for _, written in QUOTING_TABLE])
        self.assertEqual(report["commandLine"], expected)
        self.assertEqual(report["argv"], [module] + [a for a, _ in QUOTING_TABLE])
        self.assertEqual(report["env"], {
            "TALLIX_ONEFILE_PARENT": str(pid),
            "TALLIX_ONEFILE_DIRECTORY": ntpath.dirname(module),
            "TALLIX_ORIGINAL_ARGV0": typed_argv0,
        })
        self.assertIn("reporter-stderr", err)

    def test_argv0_as_typed_reaches_only_the_environment(self):
        launcher = ARGS.reporter_launcher
        out, _ = run_launcher(launcher, "launcher_reporter x",
                              cwd=os.path.dirname(launcher))
        report = report_of(out)
        self.assertEqual(report["argv"], [windows_path(launcher), "x"])
        self.assertEqual(report["env"]["TALLIX_ORIGINAL_ARGV0"], "launcher_reporter")

    def test_no_arguments_give_the_module_name_quoted_only_when_needed(self):
        launcher = ARGS.reporter_launcher
        out, _ = run_launcher(launcher, "launcher_reporter")
        self.assertEqual(report_of(out)["commandLine"], windows_path(launcher))
        with tempfile.TemporaryDirectory() as scratch:
            spaced = os.path.join(scratch, "dir with space", "app.exe")
            os.makedirs(os.path.dirname(spaced))
            shutil.copy(launcher, spaced)
            out, _ = run_launcher(spaced, "app")
            report = report_of(out)
            self.assertEqual(report["commandLine"], '"%s"' % windows_path(spaced))
            self.assertEqual(report["env"]["TALLIX_ONEFILE_DIRECTORY"],
                             windows_path(os.path.dirname(spaced)))


class StandardHandlesAndDirectoryPassThrough(unittest.TestCase):
    def test_pipes(self):
        out, err = run_launcher(ARGS.reporter_launcher, "x",
                                env={"REPORTER_READ_STDIN": "1"},
                                input_bytes=b"through a pipe\n")
        report = report_of(out)
        self.assertEqual([report["stdin"], report["stdout"], report["stderr"]],
                         ["pipe", "pipe", "pipe"])
        self.assertEqual(report["input"], "through a pipe\n")
        self.assertEqual(err, "reporter-stderr\n")

    def test_files_and_current_directory(self):
        with tempfile.TemporaryDirectory() as scratch:
            paths = {name: os.path.join(scratch, name) for name in ("in", "out", "err")}
            with open(paths["in"], "wb") as f:
                f.write(b"from a file")
            with open(paths["in"], "rb") as stdin, open(paths["out"], "wb") as stdout, \
                    open(paths["err"], "wb") as stderr:
                run_launcher(ARGS.reporter_launcher, "x", env={"REPORTER_READ_STDIN": "1"},
                             cwd=scratch, stdin=stdin, stdout=stdout, stderr=stderr)
            with open(paths["out"], encoding="utf-8") as f:
                out = f.read()
            with open(paths["err"], encoding="utf-8") as f:
                err = f.read()
            report = report_of(out)
            self.assertEqual([report["stdin"], report["stdout"], report["stderr"]],
                             ["file", "file", "file"])
            self.assertEqual(report["input"], "from a file")
            self.assertEqual(report["cwd"], windows_path(scratch))
            self.assertEqual(err, "reporter-stderr\n")


class ExitCodes(unittest.TestCase):
    def test_all_32_bits_pass_through(self):
        for code in (0, 1, 255, 256, 0x7FFFFFFF, 0xC0000005, 0xFFFFFFFF):
            with self.subTest(code=hex(code)):
                out, _ = run_launcher(ARGS.reporter_launcher, "x",
                                      env={"REPORTER_EXIT_CODE": str(code),
                                           "REPORTER_QUIET": "1"})
                self.assertEqual(runner_values(out)[1], code)


class LargeBlock(unittest.TestCase):
    # Far below the launcher's size: the block is not held in memory.
    PEAK_BOUND = 48 << 20

    def test_cold_start_working_set_stays_below_the_block(self):
        out, _ = run_launcher(ARGS.large_launcher, "x")
        # The reporter is app\reporter.exe in the target.
        target = unix_path(ntpath.dirname(ntpath.dirname(report_of(out)["self"])))
        shutil.rmtree(target)
        self.addCleanup(shutil.rmtree, target, ignore_errors=True)
        self.assertGreater(os.path.getsize(ARGS.large_launcher), 80 << 20)
        out, _ = run_launcher(ARGS.large_launcher, "x")
        _, code, peak = runner_values(out)
        noise = os.path.join(target, "app", "noise.bin")
        self.assertEqual((code, os.path.getsize(noise)), (0, 80 << 20))
        self.assertTrue(0 < peak < self.PEAK_BOUND, peak)


class Failures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The reporter's own path tells where {CACHE_DIR} is in this prefix.
        out, _ = run_launcher(ARGS.reporter_launcher, "x")
        reporter = report_of(out)["self"]
        tests_dir = reporter[:reporter.index("\\launcher-reporter\\")]
        cls.cache_tests_dir = unix_path(tests_dir)

    def target(self, name):
        path = os.path.join(self.cache_tests_dir, name)
        shutil.rmtree(path, ignore_errors=True)
        return path

    def test_template_that_does_not_expand_aborts_with_its_text(self):
        status, out, err = run_directly(ARGS.bad_template_launcher)
        self.assertEqual(status, 3)
        self.assertEqual(err, "Error, couldn't runtime expand spec "
                         "'{CACHE_DIR}\\TallixTests\\{NO_SUCH_PLACEHOLDER}'.\n")
        self.assertEqual(out, "")

    def test_missing_magic_creates_nothing(self):
        target = self.target("launcher-bad-magic")
        status, out, err = run_directly(ARGS.bad_magic_launcher)
        self.assertEqual(status, 2)
        self.assertEqual(out, "Error, couldn't find attached data header.\n")
        self.assertEqual(err, "")
        self.assertFalse(os.path.exists(target))

    def assert_launch_failure(self, result, code):
        status, out, err = result
        self.assertEqual(status, 2)
        # The system's text differs between Windows and Wine; the rest is fixed.
        self.assertRegex(err, r"^Error, couldn't launch child \(\[Error %d\] [^\n]*\)\n$" % code)
        self.assertEqual(out, "")

    def test_child_that_cannot_start(self):
        target = self.target("launcher-not-a-program")
        self.assert_launch_failure(run_directly(ARGS.not_a_program_launcher), 193)
        # The file was unpacked before the attempt.
        self.assertTrue(os.path.isfile(os.path.join(target, "notes.txt")))

    def test_payload_without_records(self):
        target = self.target("launcher-empty")
        # An empty program path: the system reports the path as not found.
        self.assert_launch_failure(run_directly(ARGS.empty_launcher), 3)
        self.assertEqual(os.listdir(target) if os.path.exists(target) else [], [])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("wine", "runner", "reporter-launcher", "large-launcher",
                   "bad-template-launcher",
                   "bad-magic-launcher", "empty-launcher", "not-a-program-launcher"):
        parser.add_argument("--" + option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
