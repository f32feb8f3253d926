#!/usr/bin/env python3
"""The versions tools/align_i386.py chooses, on recorded answers of apt."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import align_i386 as align  # noqa: E402

DEPENDS = """wine32:i386
  Depends: libc6:i386
  Depends: libwine:i386
libwine:i386
 |Depends: libsystemd0:i386
  Depends: libelogind0:i386
  Depends: <libopencl1:i386>
    ocl-icd-libopencl1:i386
  PreDepends: zlib1g:i386
"""

SIMULATION = """Inst libssl3 [3.0.19-1~deb12u2] (3.0.20-1~deb12u2 Debian:12.15/oldstable [amd64])
Inst libpng16-16 [1.6.39-2+deb12u6] (1.6.39-2+deb12u5 Debian:12.15/oldstable [amd64])
Inst libssl3:i386 (3.0.20-1~deb12u2 Debian:12.15/oldstable [i386])
Remv libssl-dev [3.0.19-1~deb12u2]
Remv libfoo:i386 [1.0]
"""


class Alignment(unittest.TestCase):
    def test_reads_apt(self):
        # The first of a group of alternatives, the first provider of a virtual package.
        self.assertEqual(align.parse_depends(DEPENDS), {
            "wine32:i386": ["libc6:i386", "libwine:i386"],
            "libwine:i386": ["libsystemd0:i386", "ocl-icd-libopencl1:i386", "zlib1g:i386"]})
        self.assertEqual(align.parse_simulation(SIMULATION), (["libssl-dev:amd64", "libfoo:i386"], ["libpng16-16"]))

    def test_choice(self):
        same = {"libssl3": "3.0.20", "zlib1g": "1.2.13", "libgst": "1.22-6", "libx": "2.0"}
        installed = {"libssl3:amd64": "3.0.19", "zlib1g:amd64": "1.2.13"}
        to_install = {"libgst:amd64": "1.22-7", "libx:amd64": "2.0"}
        # Behind the i386 lists: moved up; equal: left; about to be installed newer: taken at i386's version.
        self.assertEqual(align.choose_pins(same, installed, to_install), ({
            "libgst:amd64": "1.22-6", "libgst:i386": "1.22-6", "libssl3:amd64": "3.0.20", "libssl3:i386": "3.0.20",
            "libx:i386": "2.0", "zlib1g:i386": "1.2.13"}, None))
        # Never a downgrade of what the machine has.
        pins, why = align.choose_pins(same, dict(installed, **{"libx:amd64": "2.1"}), to_install)
        self.assertIsNone(pins)
        self.assertIn("libx:amd64 2.1 is newer", why)

    def test_exact_dependencies(self):
        pins = {"libssl3:amd64": "3.0.20", "libssl3:i386": "3.0.20"}
        versions = [("3.0.22", "libssl3 (= 3.0.22), debconf"), ("3.0.20", "libssl3 (= 3.0.20)"),
                    ("3.0.17", "libssl3 (= 3.0.17)")]
        installed = {"libssl-dev:amd64": "3.0.19", "old-dev:amd64": "3.0.21"}
        self.assertEqual(align.exact_pins(["libssl-dev:amd64"], installed, {"libssl-dev:amd64": versions}, pins),
                         ({"libssl-dev:amd64": "3.0.20"}, None))
        # The only matching version is older than the installed one.
        moved, why = align.exact_pins(["old-dev:amd64"], installed, {"old-dev:amd64": versions}, pins)
        self.assertIsNone(moved)
        self.assertIn("old-dev:amd64", why)


if __name__ == "__main__":
    unittest.main()
