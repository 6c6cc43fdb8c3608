"""Checks each catalogue message of the reporting helpers from outside the
process: the stream it reaches, its exact bytes and the exit status.

Usage: check_messages.py PATH/TO/diagnostics_probe.exe

The C runtime writes the standard streams in text mode, so the line feed of
every message reaches a file or pipe as CR LF.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import ABORT_STATUS, run_windows  # noqa: E402

PROBE = None
FATAL_EXIT_STATUS = 2

FATAL_MESSAGES = [
    "Error, failed to register signal handler.",
    "Error, couldn't find attached data header.",
    "Error, couldn't allocate memory.",
    "Error, couldn't decode attached data.",
]
SYSTEM_MESSAGES = [
    "Error, couldn't unpack file to target path.",
    "Error, couldn't launch child",
]


def system_text(code):
    """The system's own text for `code` with its line breaks trimmed, or None."""
    result = run_windows(PROBE, "format", str(code))
    if result.status == 1:
        return None
    if result.status != 0:
        raise AssertionError(f"format mode ended with {result.status}")
    return bytes.fromhex(result.stdout.decode().strip()).rstrip(b"\r\n")


class FatalError(unittest.TestCase):
    def test_each_message_goes_to_stdout_with_one_line_end_and_status_2(self):
        for index, message in enumerate(FATAL_MESSAGES):
            with self.subTest(message=message):
                result = run_windows(PROBE, "fatal", str(index))
                self.assertEqual(result.stdout, message.encode() + b"\r\n")
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.status, FATAL_EXIT_STATUS)


class SystemErrorLine(unittest.TestCase):
    def check_line(self, message_index, code):
        message = SYSTEM_MESSAGES[message_index]
        signed = code - (1 << 32) if code >= (1 << 31) else code
        result = run_windows(PROBE, "system", str(message_index), str(code))
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.status, FATAL_EXIT_STATUS)
        fixed = f"{message} ([Error {signed}] ".encode()
        self.assertTrue(result.stderr.startswith(fixed), result.stderr)
        self.assertTrue(result.stderr.endswith(b")\r\n"), result.stderr)
        text = system_text(code)
        self.assertEqual(result.stderr, fixed + (text or b"") + b")\r\n")
        return text

    def test_access_denied_has_the_system_text(self):
        text = self.check_line(1, 5)
        self.assertTrue(text, "the system should have a text for code 5")
        self.assertNotIn(b"\n", text)

    def test_code_above_2147483647_prints_negative(self):
        # A failure HRESULT for "access denied"; the system may or may not
        # have a text for it, and either is compared.
        self.check_line(0, 0x80070005)
        self.check_line(1, 0xFFFFFFFF)

    def test_code_without_system_text_prints_an_empty_text(self):
        # Customer-defined codes have no system text.
        code = 0x20001234
        self.assertIsNone(system_text(code))
        result = run_windows(PROBE, "system", "1", str(code))
        self.assertEqual(result.stderr, b"Error, couldn't launch child ([Error 536875572] )\r\n")


class OpenError(unittest.TestCase):
    def test_names_the_file_on_stderr_and_exits_2(self):
        result = run_windows(PROBE, "open", "C:\\cache\\a b.dll")
        self.assertEqual(result.stderr, b"Error, failed to open 'C:\\cache\\a b.dll' for writing.\r\n")
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.status, FATAL_EXIT_STATUS)


class TemplateError(unittest.TestCase):
    def test_names_the_template_on_stderr_and_aborts(self):
        for template in ["{HOME}", "{CACHE_DIR}\\Halvory\\Halvory-Quin-1.1.0"]:
            with self.subTest(template=template):
                result = run_windows(PROBE, "template", template)
                expected = f"Error, couldn't runtime expand spec '{template}'.\r\n"
                self.assertEqual(result.stderr, expected.encode())
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.status, ABORT_STATUS)


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    unittest.main(verbosity=2)
