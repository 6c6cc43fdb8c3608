#!/usr/bin/env python3
"""Packs a small application with --sign-cert in the ways a user would (PEM
certificate with an encrypted key, password-protected PKCS#12 bundle), checks
the Authenticode signature against the test's own root, and runs the signed
launcher under Wine."""
import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import check, fresh_directory, outcome, run, run_windows  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--app", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    work = args.work
    fresh_directory(work)
    app_dir = os.path.join(work, "app")
    os.makedirs(os.path.join(app_dir, "data"))
    shutil.copy(args.app, os.path.join(app_dir, "signed_app.exe"))
    with open(os.path.join(app_dir, "data", "notes.txt"), "w") as notes:
        notes.write("payload next to the program\n")

    def path(name):
        return os.path.join(work, name)

    password = "correct horse"
    with open(path("pass.txt"), "w") as f:
        f.write(password + "\n")
    with open(path("wrong.txt"), "w") as f:
        f.write("wrong\n")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-days", "2",
         "-subj", "/CN=Tallix Signing Test", "-keyout", path("key.pem"),
         "-out", path("cert.pem"), "-passout", "pass:" + password], check=True)
    run(["openssl", "pkcs12", "-export", "-in", path("cert.pem"),
         "-inkey", path("key.pem"), "-passin", "pass:" + password,
         "-passout", "pass:" + password, "-out", path("bundle.p12")], check=True)

    def pack(output, *signing):
        return run([args.pack, "pack", app_dir, "-o", path(output), "--quiet",
                    "--main", "signed_app.exe", *signing])

    def verify(exe):
        return run(["osslsigncode", "verify", "-CAfile", path("cert.pem"), "-in", exe])

    # Sound signatures, both ways of giving the key.
    signed = {
        "pem.exe": ["--sign-cert", path("cert.pem"), "--sign-key", path("key.pem"),
                    "--sign-pass-file", path("pass.txt")],
        "p12.exe": ["--sign-cert", path("bundle.p12"), "--sign-pass-file", path("pass.txt")],
    }
    for output, signing in signed.items():
        result = pack(output, *signing)
        check(result.returncode == 0, f"pack {output} succeeds", result.stderr)
        result = verify(path(output))
        check(result.returncode == 0 and "Signer's certificate" in result.stdout
              and "/CN=Tallix Signing Test" in result.stdout,
              f"{output} carries a signature that verifies against the test root",
              result.stdout + result.stderr)
        check("Timestamp is not available" in result.stdout,
              f"{output} was signed offline, without a timestamp server", result.stdout)

    # The signed launcher still runs its application and passes the exit code.
    result = run_windows(path("pem.exe"), "7", "two words", wine=args.wine)
    check(result.status == 7 and "signed app ran with 2 arguments" in result.out,
          "the signed launcher runs its application",
          f"status {result.status}\n{result.out}{result.err}")
    # The signature table after the image does not hide the payload.
    result = run([args.pack, "inspect", path("p12.exe"), "--verify"])
    check(result.returncode == 0 and "signed_app.exe" in result.stdout
          and "data\\notes.txt" in result.stdout
          and "Signed:           yes (an Authenticode certificate table is present)\n"
          in result.stdout,
          "inspect --verify reads a signed launcher", result.stdout + result.stderr)

    # A fixed signing time makes signed output reproducible.
    copies = []
    for copy in ("first", "second"):
        os.makedirs(path(copy))
        result = run([args.pack, "pack", app_dir, "-o", os.path.join(path(copy), "same.exe"),
                      "--quiet", *signed["p12.exe"]],
                     env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"))
        check(result.returncode == 0, "pack with SOURCE_DATE_EPOCH succeeds", result.stderr)
        with open(os.path.join(path(copy), "same.exe"), "rb") as f:
            copies.append(f.read())
        time.sleep(1.1)  # the signing time has whole seconds
    check(copies[0] == copies[1], "signing twice at the same SOURCE_DATE_EPOCH gives equal bytes")

    # The verification is not vacuous: an unsigned build and a changed byte fail.
    result = pack("unsigned.exe")
    check(result.returncode == 0, "pack unsigned.exe succeeds", result.stderr)
    check(verify(path("unsigned.exe")).returncode != 0, "an unsigned launcher does not verify")
    with open(path("p12.exe"), "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 3] ^= 0x01
    with open(path("tampered.exe"), "wb") as f:
        f.write(data)
    check(verify(path("tampered.exe")).returncode != 0, "a changed signed launcher fails")

    # Failures: clear messages, the right status, nothing left behind.
    result = pack("wrong.exe", "--sign-cert", path("bundle.p12"),
                  "--sign-pass-file", path("wrong.txt"))
    check(result.returncode == 1 and "osslsigncode could not sign the launcher" in result.stderr
          and "Wrong password" in result.stderr,
          "a wrong password fails with osslsigncode's message", result.stderr)
    check(not os.path.exists(path("wrong.exe")), "no output after a failed signing")
    result = pack("nopass.exe", "--sign-cert", path("cert.pem"), "--sign-key", path("key.pem"))
    check(result.returncode == 2 and "the private key is encrypted" in result.stderr
          and "--sign-pass-file" in result.stderr,
          "an encrypted key without --sign-pass-file is bad input", result.stderr)
    check(not os.path.exists(path("nopass.exe")), "no output for bad signing input")
    result = pack("nokey.exe", "--sign-cert", path("cert.pem"))
    check(result.returncode == 2 and "--sign-key" in result.stderr,
          "a PEM certificate without a key asks for --sign-key", result.stderr)

    # Without osslsigncode on PATH the cause is named: a PATH with only the
    # cross tools.
    tools = path("tools-only")
    os.makedirs(tools)
    for tool in os.listdir("/usr/bin"):
        if tool.startswith("x86_64-w64-mingw32-"):
            os.symlink(os.path.join("/usr/bin", tool), os.path.join(tools, tool))
    result = run([args.pack, "pack", app_dir, "-o", path("notool.exe"), "--quiet",
                  *signed["p12.exe"]], env=dict(os.environ, PATH=tools))
    check(result.returncode == 1 and "osslsigncode is not on PATH" in result.stderr,
          "a missing osslsigncode is named", result.stderr)
    check(not os.path.exists(path("notool.exe")), "no output without osslsigncode")

    return outcome("all signing checks passed")


if __name__ == "__main__":
    sys.exit(main())
