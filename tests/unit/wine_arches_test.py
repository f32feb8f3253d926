#!/usr/bin/env python3
"""The probe that decides whether the Wine suites of the i686 build can run on this host."""

import os
import subprocess
import tempfile
import unittest

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine_arches.sh")


def probe(env):
    full = {k: v for k, v in os.environ.items() if k not in ("KVI_WINE64_ONLY", "KVI_WINE32_LOADER")}
    full.update(env)
    return subprocess.run(["sh", PROBE], env=full, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          check=True).stdout.decode().strip()


class WineArchesProbe(unittest.TestCase):
    def loader(self, name, content):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, 0o755)
        return path

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def test_answers(self):
        working = {"KVI_WINE32_LOADER": self.loader("wine", b"#!/bin/sh\necho wine-8.0 '(Debian 8.0~repack-4)'\n")}
        cases = [
            ("a loader that starts and names itself", working, "i686 x86_64"),
            ("forced 64-bit road", dict(working, KVI_WINE64_ONLY="1"), "x86_64"),
            ("the switch at 0 changes nothing", dict(working, KVI_WINE64_ONLY="0"), "i686 x86_64"),
            ("no loader installed", {"KVI_WINE32_LOADER": os.path.join(self.dir.name, "none")}, "x86_64"),
            # A program the kernel will not execute: the shell may then read it
            # as a script, whose last command can end with 0; only the version
            # the loader prints counts.
            ("a binary of a foreign machine", {"KVI_WINE32_LOADER": self.loader(
                "foreign", b"\x7fELF\x01\x01\x01" + bytes(9) + b"\x02\x00\xff\xff" + bytes(40) + b"\ntrue\n")},
             "x86_64"),
            ("a loader that ends with 0 but prints nothing",
             {"KVI_WINE32_LOADER": self.loader("silent", b"#!/bin/sh\nexit 0\n")}, "x86_64"),
            ("a loader that names itself but fails",
             {"KVI_WINE32_LOADER": self.loader("fails", b"#!/bin/sh\necho wine-8.0\nexit 1\n")}, "x86_64"),
        ]
        for name, env, want in cases:
            with self.subTest(name):
                self.assertEqual(probe(env), want)

    def test_agrees_with_the_32_bit_dynamic_loader(self):
        # On this very host: Wine's 32-bit loader runs exactly when the system's
        # 32-bit dynamic loader does (both need the kernel to execute i386 code).
        if not os.path.exists("/usr/lib/wine/wine") or not os.path.exists("/lib/ld-linux.so.2"):
            self.skipTest("Wine's 32-bit loader or the 32-bit C library is not installed")
        try:
            runs = subprocess.run(["/lib/ld-linux.so.2", "--version"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0
        except OSError:
            runs = False
        self.assertEqual(probe({}), "i686 x86_64" if runs else "x86_64")


if __name__ == "__main__":
    unittest.main()
