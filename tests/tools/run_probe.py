"""Runs a Windows program under Wine and returns what it wrote and its status.

The WINEPREFIX comes from the environment (the test runner exports the one its
wineserver uses); Wine's own diagnostics are silenced unless WINEDEBUG is set.
"""

import os
import subprocess
from dataclasses import dataclass


@dataclass
class ProbeResult:
    stdout: bytes
    stderr: bytes
    status: int


def run_probe(program, *args, env=None, timeout=60):
    environment = dict(os.environ)
    environment.setdefault("WINEDEBUG", "-all")
    if env:
        environment.update(env)
    completed = subprocess.run(
        ["wine", program, *args],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=environment,
        timeout=timeout,
        check=False,
    )
    return ProbeResult(completed.stdout, completed.stderr, completed.returncode)
